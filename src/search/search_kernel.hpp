// The search's evaluations specialised to the evaluator's qubit count, for placements with gate kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "search/double_perm_search.hpp"

namespace brimsel {

// Evaluates the one-placement extensions of a popped circuit as
// Evaluator::evaluate_multiple would, bit for bit: the same gate formulas, the
// same phase fix, the same qubit orders and candidates in the same order, and
// the same hash. The states live in fixed arrays of the evaluator's size, the
// placements' gates and their adjoints are prepared once per search, and the
// popped circuit's forward state once per circuit.
class SearchKernel {
public:
    virtual ~SearchKernel() = default;

    // Null when the evaluator has no qubits or more than the evaluator's
    // permutation table covers, or when a placement or its adjoint has no
    // kernel for its arguments: the general path then evaluates (and reports
    // what is wrong exactly as it always has).
    static std::unique_ptr<SearchKernel> make(const Evaluator& ev, std::span<const Instr32> placements);

    // `circuit` is made of the search's placements. For each placement p, the
    // circuit extended by p gets its key in keys[p] and its pairs appended to
    // `pairs` from pair_start[p] on; pair_start[placements] ends the last run.
    virtual void evaluate_extensions(std::span<const Instr32> circuit, std::uint64_t* keys,
                                     std::vector<PairList::Pair>& pairs, std::size_t* pair_start) = 0;
};

}  // namespace brimsel
