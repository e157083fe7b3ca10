// Canonical forms and the identity check: calls per second on identities of 4 to 19 instructions.
//
// Run: build/bench/bench_identity [seconds per row, default 0.2]
// Each row also runs the plain walk (one Circ per candidate) for comparison.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "harness.hpp"
#include "circ/gate/gates.hpp"
#include "identity/circuit.hpp"
#include "identity/idcircuit.hpp"


namespace {

using namespace brimsel;

std::uint64_t sink = 0;

using bench::measure;
using bench::rate;
using bench::Result;

void row(const char* what, std::size_t n, std::size_t len, Result r, const Result* plain = nullptr) {
    std::printf("%-26s %2zu %3zu  %s  %7.1f", what, n, len, rate(r.per_second).c_str(), r.allocs_per_op);
    if (plain)
        std::printf("  %s  %8.1f  %6.1fx", rate(plain->per_second).c_str(), plain->allocs_per_op,
                    r.per_second / plain->per_second);
    std::printf("\n");
    std::fflush(stdout);
}

// ---- the plain walks, as the definitions read -------------------------------------------------

Circ plain_representative(const Circ& in) {
    Circ c = in.compact_qubits().remove_swaps();
    if (c.is_empty()) return c;
    std::optional<Circ> best;
    for (Permut32 p : Permut32::all(c.nqubits())) {
        Circ k = c.permut(p).reorder_instrs().compact_qubits();
        if (!best || k < *best) best = std::move(k);
    }
    return *best;
}

Circ plain_rotate_minimum(const Circ& in) {
    Circ c = in.compact_qubits().remove_swaps();
    if (c.is_empty()) return c;
    std::optional<Circ> best;
    for (Permut32 p : Permut32::all(c.nqubits())) {
        Circ d = c.permut(p);
        for (std::size_t i = 0; i < d.len(); ++i) {
            if (!d.instrs[i].qargs.contains(0)) continue;
            Circ k = d.rotate(static_cast<std::int64_t>(i)).reorder_instrs().compact_qubits();
            if (!best || k < *best) best = std::move(k);
        }
    }
    return *best;
}

// ---- inputs -------------------------------------------------------------------------------------

Gate16 G(const char* name) { return *Gate16::from_name(name); }

// An identity of `len` instructions on n qubits, every qubit used: a random circuit and
// its inverse (plus t t sdg for an odd length), rotated and relabelled. The caller keeps
// n within reach: the first half's instructions must be able to touch every qubit.
Circ make_identity(std::mt19937_64& gen, std::size_t n, std::size_t len) {
    static const char* one[] = {"h", "t", "tdg", "s", "x", "sdg"};
    static const char* two[] = {"cx", "cz"};
    auto below = [&](std::size_t k) { return std::uniform_int_distribution<std::size_t>(0, k - 1)(gen); };
    for (;;) {
        std::vector<Instr32> v;
        const std::size_t half = len / 2 - (len % 2 ? 1 : 0);
        for (std::size_t i = 0; i < half; ++i) {
            auto a = static_cast<std::uint8_t>(below(n));
            if (n >= 2 && below(2)) {
                auto b = static_cast<std::uint8_t>(below(n - 1));
                if (b >= a) ++b;
                v.push_back(Instr32(G(two[below(2)]), QArgs16::two(a, b)));
            } else {
                v.push_back(Instr32(G(one[below(6)]), QArgs16::one(a)));
            }
        }
        Circ c = Circ::new_(v, Permut32::identity(n));
        Circ id = c + c.inverse();
        if (len % 2) {
            Circ odd = Circ::new_({Instr32(G("t"), QArgs16::one(0)), Instr32(G("t"), QArgs16::one(0)),
                                   Instr32(G("sdg"), QArgs16::one(0))},
                                  Permut32::identity(n));
            id = id + odd;
        }
        std::uint8_t used = 0;
        for (const Instr32& i : id.instrs) used |= i.arg_mask();
        if (used != (1u << n) - 1) continue;  // every qubit takes part
        std::vector<std::uint8_t> images(n);
        for (std::size_t i = 0; i < n; ++i) images[i] = static_cast<std::uint8_t>(i);
        std::shuffle(images.begin(), images.end(), gen);
        return id.rotate(static_cast<std::int64_t>(below(len))).permut(Permut32::from_iter(images));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) bench::seconds_per_row = std::atof(argv[1]);
    std::mt19937_64 gen(1);

    std::printf("calls per second (heap allocations per call); plain = one Circ per candidate\n\n");
    std::printf("%-26s %2s %3s  %12s  %7s  %12s  %8s  %7s\n", "operation", "n", "len", "packed", "alloc",
                "plain", "alloc", "speedup");
    for (std::size_t n : {2u, 3u, 4u, 5u}) {
        for (std::size_t len : {4u, 8u, 12u, 19u}) {
            const std::size_t half = len / 2 - (len % 2 ? 1 : 0);
            if (n > 2 * half) continue;
            const Circ id = make_identity(gen, n, len);
            const IdentityCirc checked = IdentityCirc::new_(id);
            if (plain_rotate_minimum(id) != id.rotate_representative().circ ||
                plain_representative(id) != id.representative()) {
                std::printf("mismatch on %s\n", id.debug().c_str());
                return 1;
            }
            Result rep = measure([&] { sink += id.representative().len(); });
            Result rep_plain = measure([&] { sink += plain_representative(id).len(); });
            row("representative", n, len, rep, &rep_plain);
            row("representative_with_perm", n, len,
                measure([&] { sink += id.representative_with_perm().second.raw; }));
            Result rot = measure([&] { sink += id.rotate_representative().len(); });
            Result rot_plain = measure([&] { sink += IdentityCirc::unchecked(plain_rotate_minimum(id)).len(); });
            row("rotate_representative", n, len, rot, &rot_plain);
            row("check", n, len, measure([&] { sink += checked.check(); }));
        }
    }
    std::printf("\n(checksum %llu)\n", static_cast<unsigned long long>(sink));
    return 0;
}
