// The timing loop and rate formatting shared by the micro-benchmarks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "alloc_counter.hpp"

namespace bench {

// How long each row runs; the benchmarks take it from their first argument.
inline double seconds_per_row = 0.2;

struct Result {
    double per_second;
    double allocs_per_op;
};

// Runs `op` once (first use: tables, scratch pools), then in doubling batches
// until the row's time is used up.
template <class F>
Result measure(F&& op, std::size_t first_batch = 4) {
    using Clock = std::chrono::steady_clock;
    op();
    std::size_t done = 0, batch = first_batch;
    const std::size_t allocs_before = allocations();
    const auto start = Clock::now();
    double elapsed = 0.0;
    while (elapsed < seconds_per_row) {
        for (std::size_t i = 0; i < batch; ++i) op();
        done += batch;
        batch *= 2;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return Result{done / elapsed, double(allocations() - allocs_before) / double(done)};
}

inline std::string rate(double per_second) {
    char buf[32];
    if (per_second >= 1e6)
        std::snprintf(buf, sizeof buf, "%8.2f M/s", per_second / 1e6);
    else if (per_second >= 1e3)
        std::snprintf(buf, sizeof buf, "%8.2f k/s", per_second / 1e3);
    else
        std::snprintf(buf, sizeof buf, "%8.2f  /s", per_second);
    return buf;
}

}  // namespace bench
