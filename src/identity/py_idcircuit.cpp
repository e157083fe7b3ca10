// IdentityCirc: the checked constructor, wire neighbours, the identity check and the dict form as Python sees them.
#include "identity/py_idcircuit.hpp"

#include "binding/class.hpp"
#include "circ/py_instr.hpp"
#include "identity/py_circ.hpp"
#include "identity/py_circ_dict.hpp"

namespace brimsel::py {

namespace {

IdentityCirc construct(Circ circuit) { return IdentityCirc::unchecked(std::move(circuit)); }
IdentityCirc from_python(Object obj) { return IdentityCirc::new_(circ_from_dict(obj.ptr)); }
std::uint64_t nqubits(const IdentityCirc& c) { return c.nqubits(); }
std::vector<std::uint64_t> qargs_forward(const IdentityCirc& c, std::uint64_t gate_id) {
    return c.qargs_forward(gate_id);
}
std::vector<std::uint64_t> qargs_backward(const IdentityCirc& c, std::uint64_t gate_id) {
    return c.qargs_backward(gate_id);
}
bool check(const IdentityCirc& c) { return c.check(); }
std::uint64_t hash_value(const IdentityCirc& c) { return c.hash_value(); }
Circ inner(const IdentityCirc& c) { return c.circ; }
std::vector<Instr32> instructions(const IdentityCirc& c) { return c.circ.instrs; }
Ref pythonize(const IdentityCirc& c) { return circ_to_dict(c.circ); }
std::string display(const IdentityCirc& c) { return c.to_string(); }
std::string debug(const IdentityCirc& c) { return c.debug(); }
std::uint64_t length(const IdentityCirc& c) { return c.len(); }

Instr32 item(const IdentityCirc& c, std::int64_t idx) {
    if (c.len() == 0) panic("attempt to calculate the remainder with a divisor of zero");
    const auto len = static_cast<std::int64_t>(c.len());
    std::int64_t r = idx % len;
    if (r < 0) r += len;
    return c.circ.instrs[static_cast<std::size_t>(r)];
}

}  // namespace

PyTypeObject* PyClass<IdentityCirc>::type() {
    return lazy_type<IdentityCirc>([] {
        auto* c = new ClassBuilder<IdentityCirc>("Canonical identity circuit (a circuit proven equivalent to identity).");
        c->constructor<&construct, "circuit">()
            .static_method<"from_python", &from_python, "obj">("Parses a Python-serialized identity object.")
            .method<"nqubits", &nqubits>("Returns number of qubits.")
            .method<"qargs_forward", &qargs_forward, "gate_id">(
                "For each argument of gate `gate_id`, returns next gate index using that qubit.")
            .method<"qargs_backward", &qargs_backward, "gate_id">(
                "For each argument of gate `gate_id`, returns previous gate index using that qubit.")
            .method<"check", &check>("Randomized semantic check that this circuit is identity.")
            .method<"hash_value", &hash_value>("Stable hash of the canonical identity representation.")
            .getter<"inner", &inner>("Underlying circuit representation.")
            .method<"pythonize", &pythonize>("Converts this identity to a Python-serializable form.")
            .ordered()
            .hash<&hash_value>()
            .str<&display>()
            .repr<&debug>()
            .len<&length>()
            .getitem<&item, "idx">()
            .iter<&instructions>()  // indexing is modular and never ends
            .with_dict();
        return c->create();
    });
}

}  // namespace brimsel::py
