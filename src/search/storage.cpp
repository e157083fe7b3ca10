// Stored class files: the postcard layout of ECCs, checked on reading.
#include "search/mod.hpp"

namespace brimsel {

void ECCs::serialize(postcard::Writer& w) const {
    w.varint(eccs.size());
    for (const ECC& e : eccs) {
        w.varint(e.members.size());
        for (const EccMember& m : e.members) {
            w.varint(m.instrs.size());
            for (const Instr32& i : m.instrs) i.serialize(w);
            m.perm.serialize(w);
        }
    }
    w.varint(nqubits);
}

namespace {

// A stored permutation must be one: at most 8 positions, images that are
// exactly 0 .. n-1, nothing beyond its length.
Permut32 checked_permutation(postcard::Reader& r) {
    const Permut32 p = Permut32::deserialize(r);
    const std::size_t n = p.len();
    bool ok = n <= 8;
    if (ok) {
        unsigned seen = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (p.get(i) >= n)
                throw postcard::Error("Invalid permutation word " + std::to_string(p.raw) + " " + p.to_string() +
                                      ": values must be less than its length");
            seen |= 1u << p.get(i);
        }
        ok = seen == (1u << n) - 1 && (n == 8 || (p.raw & 0x00FFFFFFu) >> (3 * n) == 0);
    }
    if (!ok) throw postcard::Error("Invalid permutation word " + std::to_string(p.raw));
    return p;
}

}  // namespace

ECCs ECCs::deserialize(postcard::Reader& r) {
    ECCs out;
    // Lower bounds on the bytes each item takes: a class 1, a member 2, an instruction 3.
    const std::size_t nclasses = r.length(1);
    out.eccs.reserve(r.reservable(nclasses, 1));
    for (std::size_t c = 0; c < nclasses; ++c) {
        ECC e;
        const std::size_t nmembers = r.length(2);
        e.members.reserve(r.reservable(nmembers, 2));
        for (std::size_t m = 0; m < nmembers; ++m) {
            EccMember member;
            const std::size_t ninstrs = r.length(3);
            member.instrs.reserve(r.reservable(ninstrs, 3));
            for (std::size_t i = 0; i < ninstrs; ++i) member.instrs.push_back(Instr32::deserialize(r));
            member.perm = checked_permutation(r);
            e.members.push_back(std::move(member));
        }
        out.eccs.push_back(std::move(e));
    }
    out.nqubits = r.varint(64);
    if (out.nqubits > kMaxQubits) throw postcard::Error("Qubit count must be at most 8");
    return out;
}

void ECCs::dump_postcard(const std::string& path) const {
    postcard::encode_file(path, [this](postcard::Writer& w) { serialize(w); });
}

ECCs ECCs::from_postcard(const std::string& path) {
    return postcard::decode_file(path, [](postcard::Reader& r) { return deserialize(r); });
}

}  // namespace brimsel
