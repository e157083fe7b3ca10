// IdentityCirc: a circuit that, followed by its trailing permutation, equals the identity up to a global phase.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <vector>

#include "identity/circuit.hpp"

namespace brimsel {

class IdentityCirc {
public:
    Circ circ;

    IdentityCirc() = default;
    // Wraps without a check: for identities known by construction or read from storage.
    static IdentityCirc new_(Circ c) {
        IdentityCirc r;
        r.circ = std::move(c);
        return r;
    }
    // Wraps after the randomised check, which fails the call for a non-identity.
    static IdentityCirc unchecked(Circ c) {
        IdentityCirc r = new_(std::move(c));
        r.check();
        return r;
    }

    std::size_t nqubits() const noexcept { return circ.nqubits(); }
    std::size_t len() const noexcept { return circ.len(); }
    const Instr32& operator[](std::size_t i) const { return circ[i]; }

    // One random state pushed through the first half of the circuit, and through
    // the inverse permutation and the adjoints of the second half, must agree up
    // to a global phase at a resolution of 1/256. Returns true or fails.
    bool check() const;

    std::uint64_t hash_value() const noexcept { return circ.stable_hash(); }
    std::uint64_t stable_hash() const noexcept { return hash_value(); }

    // For each used qubit argument of instruction `gate_id`, the index of the next
    // (previous) instruction on that wire, following it around through the trailing
    // permutation; `gate_id` itself when nothing else touches the wire.
    std::vector<std::uint64_t> qargs_forward(std::uint64_t gate_id) const;
    std::vector<std::uint64_t> qargs_backward(std::uint64_t gate_id) const;

    std::string to_string() const;  // Identity { h(0) h(0) (0) }
    std::string debug() const;      // IdentityCirc(Circ { ... })

    // Stored exactly as the circuit it wraps; reading does not check the identity.
    void serialize(postcard::Writer& w) const { circ.serialize(w); }
    static IdentityCirc deserialize(postcard::Reader& r) { return new_(Circ::deserialize(r)); }

    friend bool operator==(const IdentityCirc&, const IdentityCirc&) = default;
    friend std::strong_ordering operator<=>(const IdentityCirc& a, const IdentityCirc& b) noexcept {
        return a.circ <=> b.circ;
    }
};

}  // namespace brimsel
