// Gate applications per second for each kernel against the dense path, plus permutations and state keys.
//
// Run: build/bench/bench_state [seconds per row, default 0.2]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "circ/gate.hpp"
#include "harness.hpp"
#include "circ/gate/gates.hpp"
#include "state/gates.hpp"
#include "state/mod.hpp"
#include "state/order_info.hpp"
#include "state/rng.hpp"


namespace {

using namespace brimsel;

double sink = 0.0;  // keeps the work observable

using bench::measure;
using bench::rate;
using bench::Result;

void row(const char* what, std::uint32_t n, Result r, const Result* against = nullptr) {
    std::printf("%-22s %3u  %s  %6.2f", what, n, rate(r.per_second).c_str(), r.allocs_per_op);
    if (against) std::printf("  %s  %6.2f  %6.1fx", rate(against->per_second).c_str(),
                             against->allocs_per_op, r.per_second / against->per_second);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) bench::seconds_per_row = std::atof(argv[1]);
    Rng rng = Rng::from_seed(1);

    std::printf("gate applications per second (allocations per operation)\n\n");
    std::printf("%-22s %3s  %12s  %6s  %12s  %6s  %7s\n", "kernel gate", "n", "kernel", "alloc",
                "dense", "alloc", "speedup");
    for (std::uint32_t n : {1u, 2u, 5u, 10u, 16u}) {
        for (const GateFuncs::Entry& e : GATE_FUNCS().entries()) {
            if (e.nqargs > n) continue;
            const std::vector<std::uint8_t> q =
                e.nqargs == 1 ? std::vector<std::uint8_t>{0} : std::vector<std::uint8_t>{0, 1};
            const Matrix m = e.gate.matrix_copy();
            StateVec a = StateVec::from_random(rng, n), b = a;
            Result kernel = measure([&] { a.apply(q, e.gate); }, 64);
            Result dense = measure([&] { b.multiply(q, m); }, 64);
            sink += a.re()[0].value + b.re()[0].value;
            row(e.gate.to_string().c_str(), n, kernel, &dense);
        }
    }

    std::printf("\n%-22s %3s  %12s  %6s\n", "other operation", "n", "rate", "alloc");
    for (std::uint32_t n : {1u, 2u, 5u, 10u, 16u}) {
        StateVec s = StateVec::from_random(rng, n);
        // Gates without a kernel: dense matrix under the gate table's read lock.
        const Gate16 y = *Gate16::from_name("y");
        const std::vector<std::uint8_t> q0{0};
        row("y (table matrix)", n, measure([&] { s.apply(q0, y); }, 64));
        if (n >= 2) {
            const Gate16 cz = *Gate16::from_name("cz");
            const std::vector<std::uint8_t> q{1, 0};
            row("cz (table matrix)", n, measure([&] { s.apply(q, cz); }, 64));
        }
        if (n <= 8) {
            std::vector<std::uint8_t> images;
            for (std::uint32_t i = 0; i < n; ++i) images.push_back(static_cast<std::uint8_t>((i + 1) % n));
            const Permut32 p = Permut32::from_iter(images);
            row("apply_permutation", n, measure([&] { s.apply_permutation(p); }, 64));
        }
        row("normalize_arg + hash", n, measure([&] {
                s.normalize_arg();
                sink += static_cast<double>(s.hash_value() & 1u);
            }, 64));
        if (n <= 5) row("get_orderinfo", n, measure([&] { sink += s.get_orderinfo().n_eqclasses(); }, 64));
    }
    std::printf("\n(checksum %g)\n", sink);
    return 0;
}
