// Gate: registration from NumPy matrices, lookup by display text, attributes and adjoints.
#include "circ/gate/py_gate.hpp"

#include "binding/class.hpp"
#include "binding/numpy.hpp"
#include "circ/param/expr.hpp"
#include "circ/py_instr.hpp"

namespace brimsel::py {

namespace {

Gate16 construct(std::string name, std::vector<std::string> params, Matrix matrix) {
    return Gate16::new_(std::move(name), std::move(params), std::move(matrix));
}

std::optional<Gate16> lookup(std::string name) { return Gate16::from_name(name); }

std::string get_name(const Gate16& g) { return g.name(); }
std::vector<std::string> get_params(const Gate16& g) { return g.params(); }

std::vector<double> get_params_f(const Gate16& g) {
    std::vector<double> out;
    for (const std::string& p : g.params()) {
        EvalResult r = evaluate_with_pi(p);
        if (const auto* e = std::get_if<NumericError>(&r)) raise(PyExc_ValueError, e->to_string());
        out.push_back(std::get<double>(r));
    }
    return out;
}

// Copied under the read lock; the array is built after it is released, since
// building it may run arbitrary Python code.
Matrix get_matrix(const Gate16& g) { return g.matrix_copy(); }

std::uint64_t get_nqargs(const Gate16& g) { return g.nqargs(); }
Gate16 adjoint_of(const Gate16& g) { return g.adjoint(); }
std::uint64_t stable_hash(const Gate16& g) { return g.stable_hash(); }
std::string display(const Gate16& g) { return g.to_string(); }

// Binds the gate to qubits (integers: an Instr) or to register arguments (an Instruction).
PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return guard(
        [&]() -> PyObject* {
            if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
                PyObject *key, *value;
                Py_ssize_t pos = 0;
                PyDict_Next(kwargs, &pos, &key, &value);
                raise(PyExc_TypeError, "Gate.__call__() got an unexpected keyword argument '" +
                                           str_of(key) + "'");
            }
            const Gate16 gate = instance_of<Gate16>(self)->value;
            const auto n = static_cast<std::size_t>(PyTuple_GET_SIZE(args));

            std::vector<std::uint8_t> qubits;
            bool integers = true;
            for (std::size_t i = 0; i < n && integers; ++i) {
                try {
                    qubits.push_back(FromPy<std::uint8_t>::convert(
                        PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i))));
                } catch (const ErrorAlreadySet&) {
                    PyErr_Clear();
                    integers = false;
                }
            }
            if (integers) {
                if (n != gate.nqargs())
                    panic("Number of arguments not match for gate " + gate.to_string());
                return to_py(Instr32(gate, checked_qargs(qubits)));
            }

            std::vector<Argument> arguments;
            for (std::size_t i = 0; i < n; ++i) {
                PyObject* item = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
                if (!is_instance<Argument>(item))
                    raise(PyExc_TypeError,
                          "argument 'args': failed to convert the value to "
                          "'Union[Sequence[int], Sequence[Argument]]'");
                arguments.push_back(FromPy<Argument>::convert(item));
            }
            const std::size_t k = gate.nqargs();
            if (n < k)
                panic("range end index " + std::to_string(k) + " out of range for slice of length " +
                      std::to_string(n));
            Instruction instr{gate, {arguments.begin(), arguments.begin() + static_cast<std::ptrdiff_t>(k)},
                              {arguments.begin() + static_cast<std::ptrdiff_t>(k), arguments.end()}};
            return to_py(std::move(instr));
        },
        static_cast<PyObject*>(nullptr));
}

}  // namespace

PyTypeObject* PyClass<Gate16>::type() {
    return lazy_type<Gate16>([] {
        auto* c = new ClassBuilder<Gate16>(
            "Parameterized quantum gate definition used by both search and Python APIs.");
        c->constructor<&construct, "name", "params", "matrix">()
            .static_method<"from_name", &lookup, "name">("Looks up a built-in gate by display name.")
            .method<"adjoint", &adjoint_of>("Returns the adjoint (inverse) gate.")
            .getter<"name", &get_name>("Gate name.")
            .getter<"params", &get_params>("Symbolic parameter list.")
            .getter<"params_f", &get_params_f>("Numeric parameters evaluated with support for `pi` expressions.")
            .getter<"matrix", &get_matrix>("Dense unitary matrix.")
            .getter<"nqargs", &get_nqargs>("Number of qubit arguments required by this gate.")
            .eq()
            .hash<&stable_hash>()
            .str<&display>()
            .slot(Py_tp_call, reinterpret_cast<void*>(&call));
        return c->create();
    });
}

}  // namespace brimsel::py
