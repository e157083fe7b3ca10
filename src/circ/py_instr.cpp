// Instr, Argument and Instruction: the instruction classes as Python sees them.
#include "circ/py_instr.hpp"

#include "binding/class.hpp"
#include "circ/gate/py_gate.hpp"
#include "groups/py_permutation.hpp"

namespace brimsel::py {

QArgs16 checked_qargs(std::span<const std::uint8_t> qubits) {
    for (std::uint8_t q : qubits)
        if (q >= kMaxQubits) panic("Qubit index must be less than 8");
    return QArgs16::from_iter(qubits);
}

namespace {

// ---- Instr ------------------------------------------------------------------------------------

Instr32 instr_new(Gate16 gate, std::vector<std::uint8_t> qargs) {
    if (qargs.size() != gate.nqargs()) panic("Number of qubit arguments does not match gate arity");
    for (std::size_t i = 0; i < qargs.size(); ++i)
        for (std::size_t j = i + 1; j < qargs.size(); ++j)
            if (qargs[i] == qargs[j]) panic("Qubit arguments must be unique");
    return Instr32(gate, checked_qargs(qargs));
}

Gate16 instr_gate(const Instr32& i) { return i.gate; }
Bytes instr_qargs(const Instr32& i) {
    auto s = i.qargs.as_slice();
    return Bytes{std::string(s.begin(), s.end())};
}
Instr32 instr_apply_permutation(const Instr32& i, Permut32 perm) { return i.apply_permutation(perm); }
std::uint8_t instr_arg_mask(const Instr32& i) { return i.arg_mask(); }
std::optional<std::uint8_t> instr_pass_mask(const Instr32& i, std::uint8_t mask) { return i.pass_mask(mask); }
std::uint8_t instr_largest_qubit(const Instr32& i) { return i.largest_qubit(); }
bool instr_disjoint(const Instr32& i, Instr32 other) { return i.disjoint(other); }
Instr32 instr_adjoint(const Instr32& i) { return i.adjoint(); }
std::optional<std::uint8_t> instr_position_of_qubit(const Instr32& i, std::uint8_t q) {
    return i.position_of_qubit(q);
}
std::string instr_display(const Instr32& i) { return i.to_string(); }
std::uint64_t instr_hash(const Instr32& i) { return i.stable_hash(); }

// ---- Argument ---------------------------------------------------------------------------------

Argument argument_new(std::string regid, std::uint64_t index) { return Argument{std::move(regid), index}; }
std::string argument_regid(const Argument& a) { return a.regid; }
void argument_set_regid(Argument& a, std::string v) { a.regid = std::move(v); }
std::uint64_t argument_index(const Argument& a) { return a.index; }
void argument_set_index(Argument& a, std::uint64_t v) { a.index = v; }
std::string argument_display(const Argument& a) { return a.to_string(); }
std::string argument_debug(const Argument& a) { return a.debug(); }
std::uint64_t argument_hash(const Argument& a) { return a.stable_hash(); }

// ---- Instruction ------------------------------------------------------------------------------

// A quantum or classical argument given to the constructor: an Argument, or a (str, int) pair.
struct ArgumentOrPair {
    Argument value;
};

}  // namespace

template <>
struct FromPy<ArgumentOrPair> {
    static ArgumentOrPair convert(PyObject* o) {
        if (is_instance<Argument>(o)) return ArgumentOrPair{FromPy<Argument>::convert(o)};
        if (PyTuple_Check(o) && PyTuple_GET_SIZE(o) == 2) {
            try {
                std::string name = FromPy<std::string>::convert(PyTuple_GET_ITEM(o, 0));
                std::uint64_t index = FromPy<std::uint64_t>::convert(PyTuple_GET_ITEM(o, 1));
                return ArgumentOrPair{Argument{std::move(name), index}};
            } catch (const ErrorAlreadySet&) {
                PyErr_Clear();
            }
        }
        raise(PyExc_TypeError, "failed to convert the value to 'Union[Argument, Tuple[str, int]]'");
    }
};

namespace {

std::vector<Argument> unwrap(std::vector<ArgumentOrPair> v) {
    std::vector<Argument> out;
    out.reserve(v.size());
    for (auto& a : v) out.push_back(std::move(a.value));
    return out;
}

Instruction instruction_new(Gate16 gate, std::vector<ArgumentOrPair> qargs,
                            Default<std::vector<ArgumentOrPair>> cargs) {
    return Instruction{gate, unwrap(std::move(qargs)),
                       unwrap(std::move(cargs).value_or({}))};
}
Gate16 instruction_gate(const Instruction& i) { return i.gate; }
void instruction_set_gate(Instruction& i, Gate16 g) { i.gate = g; }
std::vector<Argument> instruction_qargs(const Instruction& i) { return i.qargs; }
void instruction_set_qargs(Instruction& i, std::vector<Argument> v) { i.qargs = std::move(v); }
std::vector<Argument> instruction_cargs(const Instruction& i) { return i.cargs; }
void instruction_set_cargs(Instruction& i, std::vector<Argument> v) { i.cargs = std::move(v); }
std::string instruction_display(const Instruction& i) { return i.to_string(); }
std::string instruction_debug(const Instruction& i) { return i.debug(); }
std::uint64_t instruction_hash(const Instruction& i) { return i.stable_hash(); }

}  // namespace

PyTypeObject* PyClass<Instr32>::type() {
    return lazy_type<Instr32>([] {
        auto* c = new ClassBuilder<Instr32>(
            "A compact, index-only quantum instruction used internally by the search/prover.");
        c->constructor<&instr_new, "gate", "qargs">()
            .getter<"gate", &instr_gate>("Underlying gate.")
            .getter<"qargs", &instr_qargs>("Qubit arguments as dense integer indices.")
            .method<"apply_permutation", &instr_apply_permutation, "perm">("Applies a qubit permutation.")
            .method<"arg_mask", &instr_arg_mask>("Bitmask of qubits touched by this instruction.")
            .method<"pass_mask", &instr_pass_mask, "mask">(
                "Updates a frontier mask for left-to-right scheduling checks.")
            .method<"largest_qubit", &instr_largest_qubit>("Largest qubit index touched by this instruction.")
            .method<"permut", &instr_apply_permutation, "perm">("Alias of `apply_permutation`.")
            .method<"disjoint", &instr_disjoint, "other">(
                "Returns `true` when this and `other` touch disjoint qubits.")
            .method<"adjoint", &instr_adjoint>("Returns the adjoint instruction.")
            .method<"position_of_qubit", &instr_position_of_qubit, "qubit">(
                "Returns position of `qubit` in argument list, if present.")
            .str<&instr_display>()
            .repr<&instr_display>()
            .hash<&instr_hash>();
        return c->create();
    });
}

PyTypeObject* PyClass<Argument>::type() {
    return lazy_type<Argument>([] {
        auto* c = new ClassBuilder<Argument>(
            "A named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions.");
        c->constructor<&argument_new, "regid", "index">()
            .property<"regid", &argument_regid, &argument_set_regid>()
            .property<"index", &argument_index, &argument_set_index>()
            .eq()
            .str<&argument_display>()
            .repr<&argument_debug>()
            .hash<&argument_hash>();
        return c->create();
    });
}

PyTypeObject* PyClass<Instruction>::type() {
    return lazy_type<Instruction>([] {
        auto* c = new ClassBuilder<Instruction>(
            "A high-level instruction with gate + explicit quantum/classical register arguments.");
        c->constructor<&instruction_new, "gate", "qargs", "cargs">()
            .property<"gate", &instruction_gate, &instruction_set_gate>()
            .property<"qargs", &instruction_qargs, &instruction_set_qargs>()
            .property<"cargs", &instruction_cargs, &instruction_set_cargs>()
            .eq()
            .str<&instruction_display>()
            .repr<&instruction_debug>()
            .hash<&instruction_hash>();
        return c->create();
    });
}

}  // namespace brimsel::py
