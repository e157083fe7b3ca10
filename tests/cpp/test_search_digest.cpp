// Seeded searches against recorded digests: the stored class files, the counters and the
// progress lines of these searches must stay bit for bit the same whatever the search's
// internals become. The evaluators are seeded as in the search benchmark.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "circ/gate/gates.hpp"
#include "search/double_perm_search.hpp"
#include "utils/siphash.hpp"
#include "utils/cpu.hpp"

using namespace brimsel;

namespace {

struct Recorded {
    std::uint64_t nqubits;
    std::vector<const char*> gates;
    std::uint64_t max_size;
    std::uint64_t seed;
    bool naive;
    SearchCounters counters;
    std::size_t classes;
    std::uint64_t postcard_digest;  // SipHash-1-3 of the simplified classes' postcard bytes
    std::uint64_t progress_digest;  // SipHash-1-3 of what the search printed
};

// Runs `f` with the process's standard output sent to a temporary file and returns what was written.
template <class F>
std::string capture_stdout(F&& f) {
    char path[] = "/tmp/brimsel-digest-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    try {
        f();
    } catch (...) {
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ::close(fd);
        ::unlink(path);
        throw;
    }
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(fd);
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    ::unlink(path);
    return text.str();
}

struct Outcome {
    SearchCounters counters;
    std::size_t classes;
    std::uint64_t postcard_digest;
    std::uint64_t progress_digest;
};

Outcome run(const Recorded& r) {
    Rng rng = Rng::from_seed(r.seed);
    const Evaluator ev = Evaluator::from_random(r.nqubits, rng);
    std::vector<Gate16> gates;
    for (const char* n : r.gates) gates.push_back(*Gate16::from_name(n));
    Outcome out{};
    const std::string printed = capture_stdout([&] {
        auto [raw, counters] =
            r.naive ? RawECCs::generate_naive(ev, gates, r.max_size) : RawECCs::generate(ev, gates, r.max_size);
        const ECCs eccs = raw.simplify();
        postcard::Writer w;
        eccs.serialize(w);
        out.counters = counters;
        out.classes = eccs.eccs.size();
        out.postcard_digest = siphash13(w.bytes().data(), w.bytes().size());
    });
    out.progress_digest = siphash13(printed.data(), printed.size());
    return out;
}

// Recorded before the search's inner loop was reworked.
const std::vector<Recorded>& recorded() {
    static const std::vector<Recorded> table = {
        {2, {"h", "s", "cx"}, 8, 42, false, {2301, 18408, 18719}, 2836, 0x9bbf4ec5e5b4b48eULL, 0x37977bb358bd0f36ULL},
        {3, {"h", "t", "cx"}, 5, 42, false, {1448, 21720, 23105}, 8644, 0xa77faa714b613892ULL, 0x8ea947d0c715f429ULL},
        {4, {"h", "t", "cx"}, 4, 42, false, {276, 6624, 9653}, 2303, 0xb88cdae8c8e213eeULL, 0x6f7b972a3c1f326cULL},
        {5, {"h", "t", "cx"}, 3, 42, false, {35, 1225, 5722}, 283, 0x513fb0088ab418bdULL, 0x6f7b972a3c1f326cULL},
        {5, {"h", "cx"}, 5, 42, false, {598, 14950, 22718}, 4363, 0x02ba90d3eb464998ULL, 0x43ba98d6622ce179ULL},
        {3, {"h", "t", "cx"}, 6, 42, false, {8644, 129660, 134102}, 49033, 0x1fb01154227bb06dULL, 0xc3891161d16aac54ULL},
        {4, {"h", "cx"}, 5, 7, false, {432, 6912, 8318}, 2266, 0x29f16e27c93add46ULL, 0xf93f4c8757c3f3f4ULL},
        {3, {"x", "y", "sdg", "cz", "swap"}, 4, 9, false, {120, 2880, 3968}, 312, 0xe9afd54cb915bac1ULL, 0x6f7b972a3c1f326cULL},
        {2, {"h", "t", "cx"}, 7, 3, true, {14817, 118536, 118536}, 50164, 0xa9401abb47380619ULL, 0x371d926171f0f582ULL},
        {3, {"h", "t", "cx"}, 4, 42, true, {1345, 20175, 20175}, 9769, 0x6d6a3ce75cf08a0eULL, 0x2d7beeeab0726327ULL},
    };
    return table;
}

std::string describe(const Recorded& r) {
    std::string s = std::to_string(r.nqubits) + " qubits,";
    for (const char* g : r.gates) s += std::string(" ") + g;
    s += ", up to " + std::to_string(r.max_size) + ", seed " + std::to_string(r.seed);
    return r.naive ? s + ", naive" : s;
}

}  // namespace

TEST(SearchDigest, SeededSearchesMatchTheirRecords) {
    // Through the wide vector paths where the processor has them, and through the portable ones.
    for (const bool wide : {true, false}) {
        set_avx2_allowed(wide);
        for (const Recorded& r : recorded()) {
            const Outcome o = run(r);
            // On a mismatch the message shows the figures in the table's form.
            char got[160];
            std::snprintf(got, sizeof got, "got {%llu, %llu, %llu}, %zu, 0x%016llx, 0x%016llx",
                          static_cast<unsigned long long>(o.counters[0]),
                          static_cast<unsigned long long>(o.counters[1]),
                          static_cast<unsigned long long>(o.counters[2]), o.classes,
                          static_cast<unsigned long long>(o.postcard_digest),
                          static_cast<unsigned long long>(o.progress_digest));
            const char* path = wide ? " (wide paths allowed)" : " (portable paths)";
            EXPECT_EQ(o.counters, r.counters) << describe(r) << path << ": " << got;
            EXPECT_EQ(o.classes, r.classes) << describe(r) << path << ": " << got;
            EXPECT_EQ(o.postcard_digest, r.postcard_digest) << describe(r) << path << ": " << got;
            EXPECT_EQ(o.progress_digest, r.progress_digest) << describe(r) << path << ": " << got;
        }
    }
    set_avx2_allowed(true);
}
