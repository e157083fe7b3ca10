// Proof as Python sees it: built from raw entries, read back, displayed and ordered.
#include "identity/eccprove/py_proof.hpp"

#include "binding/class.hpp"
#include "identity/py_idcircuit.hpp"

namespace brimsel::py {

namespace {

Proof construct(std::vector<ProofEntry> data) { return Proof{std::move(data)}; }
std::vector<ProofEntry> raw(const Proof& p) { return p.entries; }
std::string display(const Proof& p) { return p.to_string(); }
std::string count(const Proof& p) { return std::to_string(p.entries.size()); }

}  // namespace

PyTypeObject* PyClass<Proof>::type() {
    return lazy_type<Proof>([] {
        auto* c = new ClassBuilder<Proof>(
            "Exported proof DAG.\n\n"
            "Each entry stores:\n"
            "- an identity circuit,\n"
            "- either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived.");
        c->constructor<&construct, "data">()
            .getter<"raw", &raw>("Returns raw proof entries.")
            .ordered()
            .str<&display>()
            .repr<&count>();
        return c->create();
    });
}

}  // namespace brimsel::py
