// Search benchmark: wall time, evaluations per second, classes found and peak memory per configuration.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "circ/gate/gates.hpp"
#include "search/double_perm_search.hpp"

using namespace brimsel;

namespace {

struct Config {
    std::uint64_t nqubits;
    std::vector<const char*> gates;
    std::uint64_t max_size;
};

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    // The search prints its progress on standard output; the table goes to standard error.
    std::vector<Config> configs = {
        {2, {"h", "s", "cx"}, 8},
        {3, {"h", "t", "cx"}, 5},
        {4, {"h", "t", "cx"}, 4},
        {5, {"h", "t", "cx"}, 3},
        {5, {"h", "cx"}, 5},
        {3, {"h", "t", "cx"}, 6},
        {2, {"h", "t", "cx"}, 10},
    };
    // One configuration per process keeps the figures independent: bench_search <index>.
    if (argc > 1 && std::string(argv[1]) != "--quick") {
        const auto k = static_cast<std::size_t>(std::strtoul(argv[1], nullptr, 10));
        if (k < configs.size()) configs = {configs[k]};
    }
    if (argc > 1 && std::string(argv[1]) == "--quick") configs = {{2, {"h", "s", "cx"}, 5}, {3, {"h", "t", "cx"}, 3}};
    std::fprintf(stderr, "%-7s %-12s %-4s %10s %14s %10s %12s %10s\n", "qubits", "gates", "max", "time_s",
                 "evals/s", "classes", "evaluations", "peak_MiB");
    for (const Config& c : configs) {
        Rng rng = Rng::from_seed(42);
        const Evaluator ev = Evaluator::from_random(c.nqubits, rng);
        std::vector<Gate16> gates;
        std::string names;
        for (const char* n : c.gates) {
            gates.push_back(*Gate16::from_name(n));
            names += names.empty() ? n : std::string(",") + n;
        }
        const auto t0 = std::chrono::steady_clock::now();
        auto [raw, counters] = RawECCs::generate(ev, gates, c.max_size);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::fprintf(stderr, "%-7llu %-12s %-4llu %10.3f %14.0f %10zu %12llu %10.1f\n",
                     static_cast<unsigned long long>(c.nqubits), names.c_str(),
                     static_cast<unsigned long long>(c.max_size), secs, counters[1] / secs,
                     raw.simplify().eccs.size(), static_cast<unsigned long long>(counters[1]),
                     peak_rss_kib() / 1024.0);
    }
    return 0;
}
