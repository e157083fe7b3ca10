// The prover: one rewriting round at 1, 2, 4 and 8 threads (with a prover built from the classes of
// h, t, cx up to 5 instructions), and building a prover from classes.
//
// Run: build/bench/bench_prover [rounds|build|build-<size>[-<qubits>]|all] [seconds per row, default 1]
// The thread count of the pool is fixed per process, so the round table runs this program
// again with RAYON_NUM_THREADS set for each count ("rounds-child <threads> <seconds>").
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "circ/gate/gates.hpp"
#include "identity/eccprove.hpp"
#include "identity/subcircuit.hpp"
#include "search/double_perm_search.hpp"
#include "search/mod.hpp"
#include "state/rng.hpp"
#include "utils/pool.hpp"

namespace {

using namespace brimsel;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Classes of h, t, cx on n qubits up to `size` instructions, from a seeded evaluator.
ECCs classes(std::size_t nqubits, std::size_t size) {
    Rng rng = Rng::from_seed(12345);
    const Evaluator ev = Evaluator::from_random(nqubits, rng);
    // The search prints progress lines on standard output: keep them out of the table.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    ECCs out = RawECCs::generate(ev, {gates::H(), gates::T(), gates::CX()}, size).first.simplify();
    dup2(saved, STDOUT_FILENO);
    ::close(null);
    ::close(saved);
    return out;
}

IdentityProver build_quietly(const ECCs& eccs) {
    const int saved = dup(STDERR_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, STDERR_FILENO);
    IdentityProver p = IdentityProver::build(eccs);
    dup2(saved, STDERR_FILENO);
    ::close(null);
    ::close(saved);
    return p;
}

// An identity of `len` instructions on n qubits: a random circuit, its inverse, and for an
// odd length (h t t)^3 on qubit 0, which is the identity up to a phase.
IdentityCirc identity_of(std::size_t n, std::size_t len, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    auto below = [&](std::size_t k) { return std::uniform_int_distribution<std::size_t>(0, k - 1)(gen); };
    const std::size_t half = (len % 2 ? len - 9 : len) / 2;
    std::vector<Instr32> v;
    for (std::size_t i = 0; i < half; ++i) {
        const auto a = static_cast<std::uint8_t>(below(n));
        if (below(3) == 0) {
            auto b = static_cast<std::uint8_t>(below(n - 1));
            if (b >= a) ++b;
            v.push_back(Instr32(gates::CX(), QArgs16::two(a, b)));
        } else {
            v.push_back(Instr32(below(2) ? gates::H() : gates::T(), QArgs16::one(a)));
        }
    }
    const Circ c = Circ::new_(v, Permut32::identity(n));
    Circ id = c + c.inverse();
    if (len % 2) {
        std::vector<Instr32> htt;
        for (int k = 0; k < 3; ++k)
            for (Gate16 g : {gates::H(), gates::T(), gates::T()}) htt.push_back(Instr32(g, QArgs16::one(0)));
        id = id + Circ::new_(htt, Permut32::identity(n));
    }
    return id.rotate_representative();
}

// The median time of one round over repeated runs filling `seconds`.
double round_seconds(const IdentityProver& p, const IdentityCirc& id, double seconds, std::size_t& results) {
    std::vector<double> times;
    const auto start = Clock::now();
    do {
        const auto t = Clock::now();
        results = p.par_apply_rules(id, 3).size();
        times.push_back(since(t));
    } while (since(start) < seconds || times.size() < 3);
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

int rounds_child(double seconds) {
    for (std::size_t n : {3u, 5u}) {
        const IdentityProver p = build_quietly(classes(n, 5));
        for (std::size_t len : {8u, 12u, 16u, 19u}) {
            const IdentityCirc id = identity_of(n, len, 1000 + len);
            std::size_t results = 0;
            const double t = round_seconds(p, id, seconds, results);
            const double subsets = static_cast<double>(COMBINATIONS().row(id.len()).size());
            std::printf("%zu %zu %zu %.9f %.1f %zu\n", n, len, id.len(), t, subsets / t, results);
        }
    }
    return 0;
}

void rounds(const char* self, double seconds) {
    // (qubits, length) -> seconds per round at 1 thread, for the speed-up column.
    std::map<std::pair<std::size_t, std::size_t>, double> single;
    std::printf("%-7s %-6s %-7s %12s %14s %8s %8s\n", "qubits", "len", "threads", "ms/round", "subsets/s",
                "speedup", "results");
    for (int threads : {1, 2, 4, 8}) {
        int fds[2];
        if (pipe(fds) != 0) return;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            ::close(fds[0]);
            setenv("RAYON_NUM_THREADS", std::to_string(threads).c_str(), 1);
            const std::string s = std::to_string(seconds);
            execl(self, self, "rounds-child", s.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ::close(fds[1]);
        std::string out;
        char buf[4096];
        for (ssize_t k; (k = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(k));
        ::close(fds[0]);
        waitpid(pid, nullptr, 0);
        std::size_t pos = 0;
        while (pos < out.size()) {
            const std::size_t end = out.find('\n', pos);
            const std::string line = out.substr(pos, end - pos);
            pos = end == std::string::npos ? out.size() : end + 1;
            std::size_t n, len, actual, results;
            double t, rate;
            if (std::sscanf(line.c_str(), "%zu %zu %zu %lf %lf %zu", &n, &len, &actual, &t, &rate, &results) != 6)
                continue;
            if (threads == 1) single[{n, len}] = t;
            std::printf("%-7zu %-6zu %-7d %12.2f %14.0f %7.2fx %8zu\n", n, actual, threads, t * 1e3, rate,
                        single[{n, len}] / t, results);
        }
        std::fflush(stdout);
    }
}

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

void build(std::size_t size, std::size_t nqubits = 3) {
    const ECCs eccs = classes(nqubits, size);
    const auto t = Clock::now();
    const IdentityProver p = build_quietly(eccs);
    const double secs = since(t);
    // The identities the construction draws (member 0 inverted, then each other member), distinct.
    std::vector<IdentityCirc> drawn_ids;
    for (const ECC& e : eccs.eccs) {
        if (e.members.empty()) continue;
        const Circ initial = Circ::new_(e.members[0].instrs, e.members[0].perm).inverse();
        for (std::size_t j = 1; j < e.members.size(); ++j)
            drawn_ids.push_back((initial + Circ::new_(e.members[j].instrs, e.members[j].perm)).rotate_representative());
    }
    std::sort(drawn_ids.begin(), drawn_ids.end());
    const std::size_t drawn_all = drawn_ids.size();
    drawn_ids.erase(std::unique(drawn_ids.begin(), drawn_ids.end()), drawn_ids.end());
    // A digest of the assumptions in order and of the proved set, to compare runs.
    std::uint64_t digest = 0;
    for (const IdentityCirc& a : p.assume) digest = digest * 1000003 + a.hash_value();
    std::uint64_t proved_sum = 0;
    p.proved.for_each([&](std::span<const Instr32> instrs, Permut32 perm) {
        Circ c;
        c.instrs.assign(instrs.begin(), instrs.end());
        c.perm = perm;
        proved_sum += c.stable_hash();
    });
    std::printf("build h,t,cx %zu qubits up to %zu: %zu classes, %zu identities drawn (%zu distinct), %zu assumed, "
                "%zu proved, %.2f s, peak RSS %.1f MB, %.1f bytes per proved identity (%zu threads), "
                "digest %016llx %016llx\n",
                nqubits, size, eccs.eccs.size(), drawn_all, drawn_ids.size(), p.assume.size(), p.proved.size(), secs, peak_rss_kib() / 1024.0,
                static_cast<double>(p.proved.memory_bytes()) / static_cast<double>(std::max<std::size_t>(1, p.proved.size())),
                pool::num_threads(), static_cast<unsigned long long>(digest),
                static_cast<unsigned long long>(proved_sum));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "all";
    if (what == "rounds-child") return rounds_child(argc > 2 ? std::atof(argv[2]) : 1.0);
    const double seconds = argc > 2 ? std::atof(argv[2]) : 1.0;
    if (what == "rounds" || what == "all") rounds("/proc/self/exe", seconds);
    // build-<size>[-<qubits>]
    if (what.rfind("build-", 0) == 0) {
        std::size_t size = 3, nqubits = 3;
        std::sscanf(what.c_str(), "build-%zu-%zu", &size, &nqubits);
        build(size, nqubits);
    }
    if (what == "build" || what == "all") {
        build(3);
        build(4);
    }
    return 0;
}
