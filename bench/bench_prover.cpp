// The prover: one rewriting round at 1, 2, 4 and 8 threads (with a prover built from the classes of
// h, t, cx up to 5 instructions), building a prover from classes, and exporting proofs.
//
// Run: build/bench/bench_prover [rounds|build|build-<size>[-<qubits>]|export|identities|all]
//      [seconds per row, default 1; for export: runs per identity, default 5]
// `identities` answers prove_identity and export_proof for 300 seeded identities c + c^-1 (c of
// 1 to 5 random instructions of h, t, tdg, cx) on the provers of the stored classes of h, t,
// cx on 3 qubits up to 3 and up to 4 instructions (tests/data/eccs).
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
#include "panic.hpp"

namespace {

using namespace brimsel;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// f(), with the file descriptor `fd` (standard output or error) sent to /dev/null meanwhile.
template <class F>
auto to_null(int fd, F f) {
    std::fflush(stdout);
    const int saved = dup(fd);
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, fd);
    struct Restore {
        int fd, saved, null;
        ~Restore() {
            dup2(saved, fd);
            ::close(null);
            ::close(saved);
        }
    } restore{fd, saved, null};
    return f();
}

// Classes of h, t, cx on n qubits up to `size` instructions, from a seeded evaluator.
ECCs classes(std::size_t nqubits, std::size_t size) {
    Rng rng = Rng::from_seed(12345);
    const Evaluator ev = Evaluator::from_random(nqubits, rng);
    // The search prints progress lines on standard output: keep them out of the table.
    return to_null(STDOUT_FILENO, [&] {
        return RawECCs::generate(ev, {gates::H(), gates::T(), gates::CX()}, size).first.simplify();
    });
}

IdentityProver build_quietly(const ECCs& eccs) {
    return to_null(STDERR_FILENO, [&] { return IdentityProver::build(eccs); });
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
    std::uint64_t proved_sum = 0, proved_instrs = 0;
    p.proved.for_each([&](std::span<const Instr32> instrs, Permut32 perm) {
        proved_instrs += instrs.size();
        Circ c;
        c.instrs.assign(instrs.begin(), instrs.end());
        c.perm = perm;
        proved_sum += c.stable_hash();
    });
    std::printf("build h,t,cx %zu qubits up to %zu: %zu classes, %zu identities drawn (%zu distinct), %zu assumed, "
                "%zu proved, %.2f s, peak RSS %.1f MB, %.1f bytes per proved identity of %.1f instructions on average "
                "(%zu threads), "
                "digest %016llx %016llx\n",
                nqubits, size, eccs.eccs.size(), drawn_all, drawn_ids.size(), p.assume.size(), p.proved.size(), secs, peak_rss_kib() / 1024.0,
                static_cast<double>(p.proved.memory_bytes()) / static_cast<double>(std::max<std::size_t>(1, p.proved.size())),
                static_cast<double>(proved_instrs) / static_cast<double>(std::max<std::size_t>(1, p.proved.size())),
                pool::num_threads(), static_cast<unsigned long long>(digest),
                static_cast<unsigned long long>(proved_sum));
    std::fflush(stdout);
}

// export_proof on the round table's prover (h, t, cx on 3 qubits up to 5 instructions), size
// allowance 2: on the longest drawn identities that the prover derives without assuming them,
// and on identities of 8 to 14 instructions that it derives. Per identity: the median time
// of an export, the identities the proving search visited, those the tracker held (the
// proving search's visited set, and the proved identities that rewrites reached), and the
// length of the proof.
void exports(int runs) {
    constexpr std::uint64_t kAdditional = 2, kCountLimit = 100000;
    const ECCs eccs = classes(3, 5);
    const IdentityProver p = build_quietly(eccs);
    IdentitySet assumed;
    for (const IdentityCirc& a : p.assume) assumed.insert(a);
    std::vector<IdentityCirc> drawn;
    for (const auto& w : eccs.to_identity_circuits())
        if (w.identity.len() > 0 && !assumed.contains(w.identity)) drawn.push_back(w.identity);
    std::sort(drawn.begin(), drawn.end());
    drawn.erase(std::unique(drawn.begin(), drawn.end()), drawn.end());
    std::reverse(drawn.begin(), drawn.end());  // longest first
    std::vector<std::pair<const char*, IdentityCirc>> roots;
    for (std::size_t i = 0, taken = 0; i < drawn.size() && taken < 4; ++i)
        if (!p.prove_identity(drawn[i], kAdditional, kCountLimit)) roots.emplace_back("drawn", drawn[i]), ++taken;
    for (std::size_t len : {8u, 10u, 12u, 14u})
        for (std::uint64_t seed = 1; seed < 200; ++seed) {
            const IdentityCirc id = identity_of(3, len, seed);
            if (id.len() == 0 || assumed.contains(id) || p.prove_identity(id, kAdditional, kCountLimit)) continue;
            roots.emplace_back("random", id);
            break;
        }
    std::printf("export_proof: h,t,cx on 3 qubits up to 5 (%zu classes, %zu assumed, %zu proved), size allowance "
                "%llu, count limit %llu, median of %d runs\n",
                eccs.eccs.size(), p.assume.size(), p.proved.size(), static_cast<unsigned long long>(kAdditional),
                static_cast<unsigned long long>(kCountLimit), runs);
    std::printf("%-7s %-4s %10s %9s %9s %7s\n", "root", "len", "ms/export", "visited", "tracker", "proof");
    for (const auto& [kind, root] : roots) {
        std::vector<double> times;
        std::size_t proof_len = 0;
        for (int r = 0; r < runs; ++r) {
            const auto t = Clock::now();
            const auto proof = to_null(STDOUT_FILENO, [&] { return p.export_proof(root, kAdditional, kCountLimit); });
            times.push_back(since(t));
            proof_len = proof ? proof->entries.size() : 0;
        }
        std::sort(times.begin(), times.end());
        // The same two steps again, to read the sizes export_proof does not return.
        const auto [result, visited] = p.prove_identity_with_visited(root, kAdditional, kCountLimit);
        ProofTracker tracker(p);
        to_null(STDOUT_FILENO, [&] { return tracker.prove(root, kAdditional, visited); });
        std::printf("%-7s %-4zu %10.3f %9zu %9zu %7zu\n", kind, root.len(), times[times.size() / 2] * 1e3,
                    visited.size(), tracker.size(), proof_len);
        std::fflush(stdout);
    }
}

// c + c^-1 in canonical form, c of 1 to 5 random instructions of h, t, tdg and cx on 3 qubits.
IdentityCirc seeded_identity(std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    auto below = [&](std::size_t k) { return std::uniform_int_distribution<std::size_t>(0, k - 1)(gen); };
    const Gate16 one[] = {gates::H(), gates::T(), gates::TDG()};
    std::vector<Instr32> v;
    const std::size_t len = 1 + below(5);
    for (std::size_t i = 0; i < len; ++i) {
        const auto a = static_cast<std::uint8_t>(below(3));
        if (below(3) == 0) {
            auto b = static_cast<std::uint8_t>(below(2));
            if (b >= a) ++b;
            v.push_back(Instr32(gates::CX(), QArgs16::two(a, b)));
        } else {
            v.push_back(Instr32(one[below(3)], QArgs16::one(a)));
        }
    }
    const Circ c = Circ::new_(v, Permut32::identity(3));
    return (c + c.inverse()).rotate_representative();
}

// The proving search and the export on each identity under one pair of limits: the total
// time of each, how many are proved and exported, and the largest tracker of an export with
// that export's time.
void answer(const IdentityProver& p, const char* label, const std::vector<IdentityCirc>& ids,
            std::uint64_t additional, std::uint64_t count_limit) {
    std::size_t proved = 0, exported = 0, failed = 0, largest = 0, largest_len = 0;
    double prove_secs = 0, export_secs = 0, largest_secs = 0;
    for (const IdentityCirc& id : ids) {
        auto t = Clock::now();
        const bool is_proved = !p.prove_identity(id, additional, count_limit);
        prove_secs += since(t);
        proved += is_proved;
        t = Clock::now();
        try {
            exported += to_null(STDOUT_FILENO, [&] {
                return to_null(STDERR_FILENO, [&] { return p.export_proof(id, additional, count_limit); });
            }).has_value();
        } catch (const Panic&) {
            ++failed;
        }
        const double secs = since(t);
        export_secs += secs;
        if (!is_proved) continue;
        // The tracker again, to read its size.
        const auto [result, visited] = p.prove_identity_with_visited(id, additional, count_limit);
        ProofTracker tracker(p);
        to_null(STDOUT_FILENO, [&] { return tracker.prove(id, additional, visited); });
        if (tracker.size() > largest) largest = tracker.size(), largest_len = id.len(), largest_secs = secs;
    }
    std::printf("%-36s %5zu %8zu %11.1f %8zu %11.1f %8zu %9zu %7zu %9.2f\n", label, ids.size(), proved,
                prove_secs * 1e3, exported, export_secs * 1e3, failed, largest, largest_len, largest_secs * 1e3);
    std::fflush(stdout);
}

// On the provers of the stored classes: the 300 seeded identities (allowance 2, count limit
// 20,000), and the drawn identities with the pairs of them up to 10 instructions (allowance 1
// with count limit 30, allowance 2 with count limit 200).
void identities() {
    std::vector<IdentityCirc> seeded;
    for (std::uint64_t seed = 0; seed < 300; ++seed) seeded.push_back(seeded_identity(seed));
    std::printf("%-36s %5s %8s %11s %8s %11s %8s %9s %7s %9s\n", "identities", "count", "proved", "prove ms",
                "exported", "export ms", "failed", "tracker", "of len", "its ms");
    for (const char* file : {"h_t_cx_3q_3", "h_t_cx_3q_4"}) {
        const ECCs eccs = ECCs::from_postcard(std::string(BRIMSEL_SOURCE_ROOT "/tests/data/eccs/") + file + ".postcard");
        const IdentityProver p = build_quietly(eccs);
        std::vector<IdentityCirc> drawn;
        for (const auto& w : eccs.to_identity_circuits())
            if (w.identity.len() > 0 && std::find(drawn.begin(), drawn.end(), w.identity) == drawn.end())
                drawn.push_back(w.identity);
        std::vector<IdentityCirc> with_pairs = drawn;
        for (const IdentityCirc& a : drawn)
            for (const IdentityCirc& b : drawn) {
                if (a.len() + b.len() > 10) continue;
                IdentityCirc ab = (a.circ + b.circ).rotate_representative();
                if (std::find(with_pairs.begin(), with_pairs.end(), ab) == with_pairs.end()) with_pairs.push_back(ab);
            }
        answer(p, (std::string(file) + " c+c^-1, 2, 20000").c_str(), seeded, 2, 20000);
        answer(p, (std::string(file) + " drawn+pairs, 1, 30").c_str(), with_pairs, 1, 30);
        answer(p, (std::string(file) + " drawn+pairs, 2, 200").c_str(), with_pairs, 2, 200);
    }
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
    if (what == "identities" || what == "all") identities();
    if (what == "export" || what == "all") exports(what == "export" && argc > 2 ? std::max(1, std::atoi(argv[2])) : 5);
    return 0;
}
