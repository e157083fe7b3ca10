// The search's fixed-size evaluations against the evaluator's general step, key for key and pair for pair.
#include <gtest/gtest.h>

#include <random>

#include "circ/gate/gates.hpp"
#include "panic_matchers.hpp"
#include "search/search_kernel.hpp"
#include "utils/cpu.hpp"

using namespace brimsel;

namespace {

// Every kernel gate on every choice of qubits of an n-qubit state.
std::vector<Instr32> kernel_placements(std::uint8_t n) {
    std::vector<Instr32> out;
    for (Gate16 g : {gates::H(), gates::X(), gates::Z(), gates::T(), gates::TDG(), gates::S(), gates::SDG()})
        for (std::uint8_t q = 0; q < n; ++q) out.emplace_back(g, QArgs16::one(q));
    for (Gate16 g : {gates::CX(), gates::SWAP()})
        for (std::uint8_t a = 0; a < n; ++a)
            for (std::uint8_t b = 0; b < n; ++b)
                if (a != b) out.emplace_back(g, QArgs16::two(a, b));
    return out;
}

// The state with the amplitudes at `zeroed` set to zero.
StateVec with_zeros(const StateVec& s, std::initializer_list<std::uint64_t> zeroed) {
    std::vector<Qreal> re(s.re().begin(), s.re().end()), im(s.im().begin(), s.im().end());
    for (std::uint64_t k : zeroed) re[k] = im[k] = 0.0;
    return StateVec::new_(std::move(re), std::move(im));
}

// Every extension of `circuit` by a placement, through the kernel and through evaluate_multiple.
void expect_same_evaluations(const Evaluator& ev, SearchKernel& kernel, const std::vector<Instr32>& placements,
                             const std::vector<Instr32>& circuit) {
    std::vector<std::uint64_t> keys(placements.size());
    std::vector<std::size_t> start(placements.size() + 1);
    std::vector<PairList::Pair> pairs;
    kernel.evaluate_extensions(circuit, keys.data(), pairs, start.data());
    ASSERT_EQ(start.back(), pairs.size());
    for (std::size_t p = 0; p < placements.size(); ++p) {
        std::vector<Instr32> full = circuit;
        full.push_back(placements[p]);
        const Evaluator::Multiple m = ev.evaluate_multiple(full);
        std::string text;
        for (const Instr32& i : full) text += i.to_string() + " ";
        ASSERT_EQ(keys[p], m.canonical.hash_value()) << text;
        ASSERT_EQ(start[p + 1] - start[p], m.pairs.size()) << text;
        for (std::size_t k = 0; k < m.pairs.size(); ++k) ASSERT_EQ(pairs[start[p] + k], m.pairs[k]) << text;
    }
}

}  // namespace

void match_the_general_evaluator();

TEST(SearchKernel, MatchesTheGeneralEvaluator) {
    // Through the wide vector paths where the processor has them, and through the portable ones.
    for (const bool wide : {true, false}) {
        SCOPED_TRACE(wide ? "wide paths allowed" : "portable paths");
        set_avx2_allowed(wide);
        match_the_general_evaluator();
    }
    set_avx2_allowed(true);
}

void match_the_general_evaluator() {
    // Random circuits of every kernel gate, on evaluators of 1 to 5 qubits: drawn
    // ones (whose initial states no relabelling changes), one with an initial
    // state without that symmetry, and ones whose states have zeros where the
    // phase fix takes its reference, so that it falls back to the last
    // amplitude and to the sum.
    // Circuits of diagonal gates and exchanges keep those zeros in place.
    for (std::uint8_t n = 1; n <= 5; ++n) {
        const std::vector<Instr32> placements = kernel_placements(n);
        std::vector<Instr32> keeping;
        for (const Instr32& i : placements)
            if (i.gate != gates::H() && i.gate != gates::X()) keeping.push_back(i);
        const std::uint64_t last = (std::uint64_t{1} << n) - 1;
        Rng rng = Rng::from_seed(n);
        std::vector<Evaluator> evaluators = {Evaluator::from_random(n, rng)};
        // An initial state that relabelling the qubits changes: placements that
        // differ only on qubits the circuit leaves alone are then evaluated each.
        // (On fewer qubits its candidates tie, and both paths fail alike.)
        if (n >= 3)
            evaluators.push_back(Evaluator{StateVec::from_random(rng, n), evaluators[0].backtrack_state});
        // (Two qubits left with two amplitudes tie too easily.)
        if (n >= 2)
            evaluators.push_back(Evaluator{with_zeros(evaluators[0].initial_state, {0}),
                                           with_zeros(evaluators[0].backtrack_state, {0})});
        if (n >= 3) {
            evaluators.push_back(Evaluator{with_zeros(evaluators[0].initial_state, {0, last}),
                                           with_zeros(evaluators[0].backtrack_state, {0, last})});
        }
        std::mt19937 pick(n);
        for (const Evaluator& ev : evaluators) {
            SCOPED_TRACE(testing::Message() << n << " qubits, evaluator " << (&ev - evaluators.data()));
            const auto kernel = SearchKernel::make(ev, placements);
            ASSERT_NE(kernel, nullptr);
            expect_same_evaluations(ev, *kernel, placements, {});
            for (int round = 0; round < 40; ++round) {
                const std::vector<Instr32>& from = round % 2 ? keeping : placements;
                std::vector<Instr32> circuit(round % 7);
                for (Instr32& i : circuit) i = from[pick() % from.size()];
                SCOPED_TRACE(testing::Message() << "round " << round);
                expect_same_evaluations(ev, *kernel, placements, circuit);
            }
        }
    }
}

TEST(SearchKernel, TiesInACandidateFailAsTheEvaluatorDoes) {
    // A backtrack state that no relabelling changes ties every qubit of every candidate.
    Rng rng = Rng::from_seed(3);
    const Evaluator random = Evaluator::from_random(3, rng);
    const Evaluator ev{random.initial_state, StateVec::from_random_symmetric(rng, 3)};
    const std::vector<Instr32> placements = {Instr32(gates::T(), QArgs16::one(0))};
    const auto kernel = SearchKernel::make(ev, placements);
    ASSERT_NE(kernel, nullptr);
    std::uint64_t key;
    std::size_t start[2];
    std::vector<PairList::Pair> pairs;
    EXPECT_PANIC(ev.evaluate_multiple(placements), "Non-deterministic front permutation detected during evaluation");
    EXPECT_PANIC(kernel->evaluate_extensions({}, &key, pairs, start),
                 "Non-deterministic front permutation detected during evaluation");
}

TEST(SearchKernel, LeavesToTheGeneralPathWhatItDoesNotCover) {
    Rng rng = Rng::from_seed(4);
    const Evaluator ev3 = Evaluator::from_random(3, rng);
    const struct {
        const Evaluator& ev;
        std::vector<Instr32> placements;
        const char* what;
    } refused[] = {
        {ev3, {Instr32(*Gate16::from_name("cz"), QArgs16::two(0, 1))}, "a gate without a kernel"},
        {ev3, {Instr32(*Gate16::from_name("y"), QArgs16::one(0))}, "another gate without a kernel"},
        {ev3, {Instr32(gates::H(), QArgs16::one(3))}, "a qubit outside the state"},
        {ev3, {Instr32(gates::CX(), QArgs16::two(2, 2))}, "a repeated qubit"},
        {ev3, {Instr32(gates::CX(), QArgs16::one(1))}, "too few arguments"},
        {ev3, {Instr32(gates::H(), QArgs16::two(0, 1))}, "too many arguments"},
    };
    for (const auto& r : refused) EXPECT_EQ(SearchKernel::make(r.ev, r.placements), nullptr) << r.what;
    const Evaluator ev0 = Evaluator::from_random(0, rng);
    EXPECT_EQ(SearchKernel::make(ev0, {}), nullptr) << "no qubits";
    EXPECT_NE(SearchKernel::make(ev3, {}), nullptr) << "no placements at all";
}
