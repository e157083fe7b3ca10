// StateVec: construction from lists, random draws, in-place instructions, amplitudes as Python complex.
#include "state/py_statevec.hpp"

#include "binding/class.hpp"
#include "circ/py_instr.hpp"
#include "state/rng.hpp"

namespace brimsel::py {

namespace {

// One amplitude as it crosses the boundary: a Python complex.
struct Amplitude {
    double re;
    double im;
};

}  // namespace

template <>
struct FromPy<Amplitude> {
    // Accepts what complex() accepts from a number: complex, float, int, __complex__.
    static Amplitude convert(PyObject* o) {
        Py_complex c = PyComplex_AsCComplex(o);
        if (c.real == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
        return Amplitude{c.real, c.imag};
    }
};

template <>
struct ToPy<Amplitude> {
    static PyObject* convert(Amplitude a) {
        PyObject* r = PyComplex_FromDoubles(a.re, a.im);
        if (!r) throw ErrorAlreadySet{};
        return r;
    }
};

namespace {

StateVec construct(std::vector<double> re, std::vector<double> im) {
    return StateVec::new_(std::vector<Qreal>(re.begin(), re.end()),
                          std::vector<Qreal>(im.begin(), im.end()));
}

// Each call seeds its own generator, so draws never depend on earlier calls.
StateVec random_state(std::uint32_t num_qubits) {
    Rng gen = Rng::from_entropy();
    return StateVec::from_random(gen, num_qubits);
}

StateVec random_symmetric_state(std::uint32_t num_qubits) {
    Rng gen = Rng::from_entropy();
    return StateVec::from_random_symmetric(gen, num_qubits);
}

std::uint64_t hash_value(const StateVec& s) { return s.hash_value(); }
std::uint64_t nqubits(const StateVec& s) { return s.nqubits(); }
std::uint64_t length(const StateVec& s) { return s.len(); }
void normalize(StateVec& s) { s.normalize(); }
void normalize_arg(StateVec& s) { s.normalize_arg(); }
StateVec clone(const StateVec& s) { return s.clone(); }
bool check(const StateVec& s) { return s.check(); }
std::string display(const StateVec& s) { return s.to_string(); }

Amplitude get_item(const StateVec& s, std::uint64_t index) {
    QComplex a = s.at(index);
    return Amplitude{a.re.value, a.im.value};
}

std::vector<Amplitude> amplitudes(const StateVec& s) {
    std::vector<Amplitude> out;
    out.reserve(s.len());
    for (std::uint64_t k = 0; k < s.len(); ++k) {
        const QComplex a = s.at(k);
        out.push_back(Amplitude{a.re.value, a.im.value});
    }
    return out;
}

void set_item(StateVec& s, std::uint64_t index, Amplitude value) {
    s.set(index, QComplex{value.re, value.im});
}

// state *= instr. Any other operand is NotImplemented, so Python reports the
// unsupported operation. A state borrowed elsewhere is an internal failure
// here, not the RuntimeError of ordinary members.
PyObject* inplace_multiply(PyObject* self, PyObject* other) noexcept {
    return guard(
        [&]() -> PyObject* {
            if (!is_instance<StateVec>(self) || !is_instance<Instr32>(other))
                Py_RETURN_NOTIMPLEMENTED;
            const Instr32 instr = from_py<Instr32>(other);
            Instance<StateVec>* inst = instance_of<StateVec>(self);
            if (inst->borrow != 0) panic("Already borrowed");
            inst->borrow = -1;
            struct Release {
                Instance<StateVec>* inst;
                ~Release() { inst->borrow = 0; }
            } release{inst};
            inst->value.apply(instr.qargs.as_slice(), instr.gate);
            return Py_NewRef(self);
        },
        static_cast<PyObject*>(nullptr));
}

constexpr const char* kNormalizeDoc =
    "Normalizes the state vector in place.\n\n"
    "Normalization ensures two conditions:\n"
    "1. Amplitude Normalization: The sum of the squares of the absolute values of\n"
    "   the complex amplitudes is 1 (i.e., `sum(|psi_i|^2) = 1`).\n"
    "2. Phase Normalization: The first non-zero element of the state vector\n"
    "   is made real and positive.\n\n"
    "If the vector is effectively all zeros initially (all amplitudes are very close to zero),\n"
    "it is normalized to the |0...0> state (i.e., the first element becomes 1.0 + 0.0i,\n"
    "and all other elements become 0.0 + 0.0i).\n"
    "If the vector has zero length, this function does nothing.";

}  // namespace

PyTypeObject* PyClass<StateVec>::type() {
    return lazy_type<StateVec>([] {
        auto* c = new ClassBuilder<StateVec>("Complex state vector used for randomized circuit evaluation.");
        c->constructor<&construct, "re", "im">()
            .method<"hash_value", &hash_value>("Hashes the current normalized state.")
            .static_method<"random", &random_state, "num_qubits">("Creates a random normalized state.")
            .static_method<"random_symmetric", &random_symmetric_state, "num_qubits">(
                "Creates a random state tailored for symmetry-aware evaluator use.")
            .method<"nqubits", &nqubits>("Returns qubit count.")
            .method<"len", &length>("Returns vector length (`2^nqubits`).")
            .method<"normalize", &normalize>(kNormalizeDoc)
            .method<"normalize_arg", &normalize_arg>(
                "Canonicalizes global phase for stable equality/hash comparison.")
            .method<"clone", &clone>("Returns a deep copy.")
            .method<"check", &check>("Checks unit-norm invariant.")
            .getitem<&get_item, "index">()
            .iter<&amplitudes>()
            .slot(Py_nb_inplace_multiply, reinterpret_cast<void*>(&inplace_multiply))
            .setitem<&set_item, "index", "value">()
            .eq()
            .str<&display>();
        return c->create();
    });
}

}  // namespace brimsel::py
