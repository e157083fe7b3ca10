// Cross-check benchmark: check_identity_subset of a search result against itself at 1, 2, 4 and 8 threads.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "circ/gate/gates.hpp"
#include "search/queries.hpp"
#include "utils/pool.hpp"

using namespace brimsel;

namespace {

struct Config {
    std::uint64_t nqubits;
    std::vector<const char*> gates;
    std::uint64_t max_size;
};

const std::vector<Config> kConfigs = {
    {3, {"h", "t", "cx"}, 6},
    {4, {"h", "t", "cx"}, 6},
};

// One configuration at the pool size the environment gave this process: the best of three
// runs, in seconds, with the class count, on standard error.
int child(std::size_t config, int repeats) {
    const Config& c = kConfigs.at(config);
    Rng rng = Rng::from_seed(42);
    const Evaluator ev = Evaluator::from_random(c.nqubits, rng);
    std::vector<Gate16> gates;
    for (const char* n : c.gates) gates.push_back(*Gate16::from_name(n));
    auto [raw, counters] = RawECCs::generate(ev, gates, c.max_size);
    std::size_t members = 0;
    for (const auto& [k, e] : raw.inner) members += e.circuits.size();
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        check_identity_subset(raw, raw, ev);
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    std::fprintf(stderr, "%zu %zu %zu %.6f\n", pool::num_threads(), raw.inner.size(), members, best);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--child") return child(std::stoul(argv[2]), argc > 3 ? std::atoi(argv[3]) : 3);
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    // Each thread count needs its own process: the pool reads its size once.
    std::fprintf(stdout, "%-7s %-12s %-4s %8s %8s %8s %10s %8s %10s\n", "qubits", "gates", "max", "classes", "members",
                 "threads", "time_s", "speedup", "efficiency");
    for (std::size_t k = 0; k < (quick ? 1 : kConfigs.size()); ++k) {
        const Config& c = kConfigs[k];
        std::string names;
        for (const char* n : c.gates) names += names.empty() ? n : std::string(",") + n;
        double base = 0;
        for (int threads : {1, 2, 4, 8}) {
            const std::string cmd = "RAYON_NUM_THREADS=" + std::to_string(threads) + " '" + argv[0] + "' --child " +
                                    std::to_string(k) + (quick ? " 1" : " 3") + " 2>&1 >/dev/null";
            FILE* p = popen(cmd.c_str(), "r");
            if (!p) return 1;
            std::size_t got = 0, classes = 0, members = 0;
            double secs = 0;
            const int n = std::fscanf(p, "%zu %zu %zu %lf", &got, &classes, &members, &secs);
            if (pclose(p) != 0 || n != 4) {
                std::fprintf(stderr, "child failed for %d threads\n", threads);
                return 1;
            }
            if (threads == 1) base = secs;
            std::fprintf(stdout, "%-7llu %-12s %-4llu %8zu %8zu %8zu %10.3f %8.2f %10.2f\n",
                         static_cast<unsigned long long>(c.nqubits), names.c_str(),
                         static_cast<unsigned long long>(c.max_size), classes, members, got, secs, base / secs,
                         base / secs / threads);
            std::fflush(stdout);
        }
    }
    return 0;
}
