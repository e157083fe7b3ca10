// Search benchmark: the first main job (generate, then simplify) with a seeded evaluator.
// Per configuration: generate and simplify wall time, evaluations per second, classes,
// stored circuits, the memory the raw classes hold and the process's peak memory.
//
// Run: bench_search               every configuration below, one after another
//      bench_search <index>       one of them
//      bench_search --quick       two small ones
//      bench_search <nqubits> <gate,gate,...> <max_size>
// The search prints its progress on standard output; the table goes to standard error.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "circ/gate/gates.hpp"
#include "search/double_perm_search.hpp"

using namespace brimsel;

namespace {

struct Config {
    std::uint64_t nqubits;
    std::vector<std::string> gates;
    std::uint64_t max_size;
};

double peak_rss_mib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss / 1024.0;
}

// Resident memory now, from /proc/self/statm (pages).
double rss_mib() {
    std::ifstream statm("/proc/self/statm");
    unsigned long long size = 0, resident = 0;
    statm >> size >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= s.size()) {
        const std::size_t end = s.find(',', start);
        out.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Config> configs = {
        {2, {"h", "s", "cx"}, 8},
        {3, {"h", "t", "cx"}, 5},
        {4, {"h", "t", "cx"}, 4},
        {5, {"h", "t", "cx"}, 3},
        {5, {"h", "cx"}, 5},
        {3, {"h", "t", "cx"}, 6},
        {2, {"h", "t", "cx"}, 10},
        {3, {"h", "t", "cx"}, 7},
        {3, {"h", "t", "cx"}, 8},
    };
    // One configuration per process keeps the figures independent.
    if (argc == 4) {
        configs = {{std::strtoull(argv[1], nullptr, 10), split(argv[2]), std::strtoull(argv[3], nullptr, 10)}};
    } else if (argc > 1 && std::string(argv[1]) == "--quick") {
        configs = {{2, {"h", "s", "cx"}, 5}, {3, {"h", "t", "cx"}, 3}};
    } else if (argc > 1) {
        const auto k = static_cast<std::size_t>(std::strtoul(argv[1], nullptr, 10));
        if (k < configs.size()) configs = {configs[k]};
    }
    std::fprintf(stderr, "%-7s %-12s %-4s %9s %9s %12s %9s %10s %12s %9s %9s\n", "qubits", "gates", "max",
                 "gen_s", "simp_s", "evals/s", "classes", "stored", "evaluations", "raw_MiB", "peak_MiB");
    for (const Config& c : configs) {
        Rng rng = Rng::from_seed(42);
        const Evaluator ev = Evaluator::from_random(c.nqubits, rng);
        std::vector<Gate16> gates;
        std::string names;
        for (const std::string& n : c.gates) {
            const auto g = Gate16::from_name(n);
            if (!g) {
                std::fprintf(stderr, "no gate named %s\n", n.c_str());
                return 2;
            }
            gates.push_back(*g);
            names += names.empty() ? n : "," + n;
        }
        const double rss_before = rss_mib();
        const auto t0 = std::chrono::steady_clock::now();
        auto [raw, counters] = RawECCs::generate(ev, gates, c.max_size);
        const auto t1 = std::chrono::steady_clock::now();
        const double raw_mib = rss_mib() - rss_before;
        const ECCs eccs = raw.simplify();
        const auto t2 = std::chrono::steady_clock::now();
        const double gen = std::chrono::duration<double>(t1 - t0).count();
        const double simp = std::chrono::duration<double>(t2 - t1).count();
        std::size_t stored = 0;
        for (const ECC& e : eccs.eccs) stored += e.members.size();
        std::fprintf(stderr, "%-7llu %-12s %-4llu %9.4f %9.4f %12.0f %9zu %10zu %12llu %9.1f %9.1f\n",
                     static_cast<unsigned long long>(c.nqubits), names.c_str(),
                     static_cast<unsigned long long>(c.max_size), gen, simp, counters[1] / gen,
                     eccs.eccs.size(), stored, static_cast<unsigned long long>(counters[1]), raw_mib,
                     peak_rss_mib());
    }
    return 0;
}
