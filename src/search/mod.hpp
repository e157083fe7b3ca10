// ECC and ECCs: the normalised equivalent-circuit classes of a search.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "circ/mod.hpp"
#include "groups/permutation.hpp"
#include "utils/postcard.hpp"

namespace brimsel {

// A member stands for its instructions followed by its permutation.
struct EccMember {
    std::vector<Instr32> instrs;
    Permut32 perm;

    friend bool operator==(const EccMember&, const EccMember&) = default;
    // Instructions lexicographically (a proper prefix first), then the permutation word.
    friend std::strong_ordering operator<=>(const EccMember& a, const EccMember& b) {
        if (auto c = std::lexicographical_compare_three_way(a.instrs.begin(), a.instrs.end(),
                                                            b.instrs.begin(), b.instrs.end());
            c != 0)
            return c;
        return a.perm <=> b.perm;
    }
};

// One class; the first member is its representative.
struct ECC {
    std::vector<EccMember> members;

    // Member j's instructions followed by the SWAPs of inverse(perm 0) * perm j.
    std::vector<Instr32> materialized(std::size_t j) const;
    std::vector<std::vector<Instr32>> circuits() const;
    ECC simplify_permute() &&;
    // "ECC {\n\t...,\n}"
    std::string to_string() const;

    friend bool operator==(const ECC&, const ECC&) = default;
    friend std::strong_ordering operator<=>(const ECC& a, const ECC& b) {
        return std::lexicographical_compare_three_way(a.members.begin(), a.members.end(),
                                                      b.members.begin(), b.members.end());
    }
};

class Circ;
class IdentityCirc;
struct IdentityWitness;

struct ECCs {
    std::vector<ECC> eccs;
    std::uint64_t nqubits = 0;

    // The classes of two or more members, joined by " & ".
    std::string to_string() const;
    ECCs filter_single() const;
    // Classes whose members disagree on one fresh random state.
    std::vector<ECC> check() const;

    // The class file: postcard encoding, nothing before or after it.
    void serialize(postcard::Writer& w) const;
    // Checks every count against the bytes left, qubit bytes, permutation words
    // and the qubit count; bad data is a postcard::Error.
    static ECCs deserialize(postcard::Reader& r);
    // Throw FileError; WriteError / postcard::Error for the format.
    void dump_postcard(const std::string& path) const;
    static ECCs from_postcard(const std::string& path);

    // One identity per non-first member of every class, with its witness pair, sorted.
    std::vector<IdentityWitness> to_identity_circuits() const;

    // The Quartz JSON document (compact, keys in byte order).
    std::string quartz_json() const;
    void dump_quartz(const std::string& path) const;

    friend bool operator==(const ECCs&, const ECCs&) = default;
};

}  // namespace brimsel

#include "identity/idcircuit.hpp"

namespace brimsel {

// An identity (inverse of member 0, then member j) and the two circuits it came from.
struct IdentityWitness {
    IdentityCirc identity;
    Circ inverse_first;
    Circ member;
};

}  // namespace brimsel
