// The query and cross-check members of RawECCs.
#include "circ/py_instr.hpp"
#include "search/py_search.hpp"
#include "search/queries.hpp"

namespace brimsel::py {

namespace {

std::optional<ECC> raw_find_equivalents(const RawECCs& r, Borrowed<Evaluator> ev, std::vector<Instr32> instrs) {
    ArgBorrow<Evaluator> b(ev);
    return find_equivalents(r, b.get(), instrs);
}

std::optional<std::uint64_t> raw_compute_next_key(const RawECCs& r, Borrowed<Evaluator> ev,
                                                  std::uint64_t current_key, Instr32 instr) {
    ArgBorrow<Evaluator> b(ev);
    return compute_next_key(r, b.get(), current_key, instr);
}

RawECCs raw_switch_evaluator(const RawECCs& r, Borrowed<Evaluator> new_evaluator) {
    ArgBorrow<Evaluator> b(new_evaluator);
    return switch_evaluator(r, b.get());
}

void raw_check_identity_subset(const RawECCs& r, Borrowed<RawECCs> ecc1, Borrowed<Evaluator> ev) {
    ArgBorrow<RawECCs> other(ecc1);
    ArgBorrow<Evaluator> b(ev);
    check_identity_subset(r, other.get(), b.get());
}

}  // namespace

void add_raweccs_queries(ClassBuilder<RawECCs>& c) {
    c.method<"find_equivalents", &raw_find_equivalents, "evaluator", "instrs">(
         "Python wrapper returning equivalent circuits for a candidate program.")
        .method<"compute_next_key", &raw_compute_next_key, "evaluator", "current_key", "instr">(
            "Computes the next reachable ECC hash after appending one instruction.\n\n"
            "Returns `None` when the resulting state was not discovered in this map.")
        .method<"switch_evaluator", &raw_switch_evaluator, "new_evaluator">(
            "Re-evaluates all stored circuits under a new evaluator.\n\n"
            "Useful for cross-checking evaluator-independence of discovered classes.")
        .method<"check_identity_subset", &raw_check_identity_subset, "ecc1", "evaluator">(
            "Checks that every identity in `self` is representable in `ecc1`.");
}

}  // namespace brimsel::py
