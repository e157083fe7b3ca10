// IdentityProver as Python sees it: construction from classes, one rewriting round, the
// adding and proving searches, and the assumptions.
#include "identity/py_eccprove.hpp"

#include "binding/class.hpp"
#include "binding/file_errors.hpp"
#include "identity/eccprove/py_proof.hpp"
#include "identity/py_idcircuit.hpp"
#include "search/py_search.hpp"

namespace brimsel::py {

namespace {

// A new Python set of new IdentityCirc objects.
Ref to_py_set(const IdentitySet& set) {
    Ref out = Ref::check(PySet_New(nullptr));
    set.for_each([&](std::span<const Instr32> instrs, Permut32 perm) {
        Ref item = Ref::check(to_py(IdentitySet::identity(instrs, perm)));
        if (PySet_Add(out.get(), item.get()) < 0) throw ErrorAlreadySet{};
    });
    return out;
}

Ref pair(Ref a, Ref b) { return Ref::check(PyTuple_Pack(2, a.get(), b.get())); }

IdentityProver build_from_eccs(ECCs eccs) { return IdentityProver::build(eccs); }

std::vector<IdentityCirc> par_apply_rules(const IdentityProver& p, Borrowed<IdentityCirc> identity,
                                          std::uint64_t additional_size) {
    ArgBorrow<IdentityCirc> id(identity);
    return p.par_apply_rules(id.get(), additional_size);
}

bool add_identity(IdentityProver& p, IdentityCirc identity, std::uint64_t additional_size,
                  std::uint64_t count_limit) {
    return p.add_identity(std::move(identity), additional_size, count_limit);
}

Ref add_identity_search(IdentityProver& p, IdentityCirc identity, std::uint64_t additional_size,
                        std::uint64_t count_limit) {
    auto [visited, assumed] = p.add_identity_search(std::move(identity), additional_size, count_limit);
    return pair(to_py_set(visited), Ref::check(to_py(assumed)));
}

std::optional<IdentityCirc> prove_identity(const IdentityProver& p, IdentityCirc identity,
                                           std::uint64_t additional_size, std::uint64_t count_limit) {
    return p.prove_identity(std::move(identity), additional_size, count_limit);
}

Ref prove_identity_with_visited(const IdentityProver& p, IdentityCirc identity, std::uint64_t additional_size,
                                std::uint64_t count_limit) {
    auto [result, visited] = p.prove_identity_with_visited(std::move(identity), additional_size, count_limit);
    return pair(Ref::check(to_py(result)), to_py_set(visited));
}

std::optional<Proof> export_proof(const IdentityProver& p, IdentityCirc identity, std::uint64_t additional_size,
                                  std::uint64_t count_limit) {
    return p.export_proof(identity, additional_size, count_limit);
}

std::vector<IdentityCirc> get_assumed(const IdentityProver& p) { return p.assume; }

IdentityProver from_postcard(std::string filepath) {
    return load_postcard([&] { return IdentityProver::from_postcard(filepath); });
}

void dump_postcard(const IdentityProver& p, std::string filepath) {
    store_postcard([&] { p.dump_postcard(filepath); });
}

}  // namespace

PyTypeObject* PyClass<IdentityProver>::type() {
    return lazy_type<IdentityProver>([] {
        auto* c = new ClassBuilder<IdentityProver>(
            "Rule-based prover for circuit identities.\n\n"
            "The prover is built from ECCs, extracts assumed rules, and can then:\n"
            "- check whether a target identity is derivable,\n"
            "- produce visited states for diagnostics,\n"
            "- export explicit proof traces.");
        c->static_method<"build_from_eccs", &build_from_eccs, "eccs">(
             "Python entrypoint: builds a prover from generated ECCs.")
            .method<"par_apply_rules", &par_apply_rules, "identity", "additional_size">(
                "Applies one round of parallel rule rewriting bounded by `additional_size`.")
            .method<"add_identity", &add_identity, "identity", "additional_size", "count_limit">(
                "Inserts one identity into the prover, deriving it when possible.\n\n"
                "Returns `true` when this identity must be kept as an assumption.")
            .method<"add_identity_search", &add_identity_search, "identity", "additional_size", "count_limit">(
                "Internal bounded search used by [`Self::add_identity`].\n\n"
                "Returns `(visited, assumed)` where `assumed=true` means the identity\n"
                "could not be derived within `count_limit`.")
            .method<"prove_identity", &prove_identity, "identity", "additional_size", "count_limit">(
                "Attempts to prove one identity.\n\n"
                "Returns `None` if proved, or `Some(identity)` if the search exceeded limits.")
            .method<"prove_identity_with_visited", &prove_identity_with_visited, "identity", "additional_size",
                    "count_limit">("Same as [`Self::prove_identity`] but also returns visited identities.")
            .method<"export_proof", &export_proof, "identity", "additional_size", "count_limit">(
                "Exports a proof DAG when `identity` is derivable under the given limits.")
            .method<"get_assumed", &get_assumed>("Returns current assumptions as a cloned list (Python helper).")
            .static_method<"from_postcard", &from_postcard, "filepath">("Loads a prover from postcard serialization.")
            .method<"dump_postcard", &dump_postcard, "filepath">("Stores a prover as postcard serialization.");
        return c->create();
    });
}

}  // namespace brimsel::py
