// Prover files: assumptions, proved identities and the rule table in postcard encoding.
#include "identity/eccprove.hpp"
#include "utils/file.hpp"

namespace brimsel {

namespace {

// Bytes handed to the file at a time while encoding.
constexpr std::size_t kWriteChunk = 8192;

// Lower bounds on the bytes of one item, against which a count is checked before the
// items are read: a circuit is at least its count and its permutation word; a rule is
// a circuit and the count of its list.
constexpr std::size_t kMinCircuitBytes = 2;
constexpr std::size_t kMinRuleBytes = kMinCircuitBytes + 1;

}  // namespace

template <class Flushed>
void IdentityProver::encode(postcard::Writer& w, Flushed&& flushed) const {
    w.varint(assume.size());
    for (const IdentityCirc& a : assume) {
        a.serialize(w);
        flushed(w);
    }
    w.varint(proved.size());
    proved.for_each([&](std::span<const Instr32> instrs, Permut32 perm) {
        Circ::serialize(w, instrs, perm);
        flushed(w);
    });
    w.varint(circ_map.size());
    circ_map.for_each([&](const Circ& key, const std::vector<Circ>& list) {
        key.serialize(w);
        w.varint(list.size());
        for (const Circ& c : list) {
            c.serialize(w);
            flushed(w);
        }
        flushed(w);
    });
}

void IdentityProver::serialize(postcard::Writer& w) const {
    encode(w, [](postcard::Writer&) {});
}

IdentityProver IdentityProver::deserialize(postcard::Reader& r) {
    IdentityProver p;
    const std::size_t nassume = r.length(kMinCircuitBytes);
    for (std::size_t i = 0; i < nassume; ++i) p.assume.push_back(IdentityCirc::deserialize(r));
    const std::size_t nproved = r.length(kMinCircuitBytes);
    for (std::size_t i = 0; i < nproved; ++i) p.proved.insert(IdentityCirc::deserialize(r));
    const std::size_t nrules = r.length(kMinRuleBytes);
    for (std::size_t i = 0; i < nrules; ++i) {
        Circ key = Circ::deserialize(r);
        const std::size_t n = r.length(kMinCircuitBytes);
        std::vector<Circ> list;
        for (std::size_t j = 0; j < n; ++j) list.push_back(Circ::deserialize(r));
        // A key stored twice keeps the list read last.
        p.circ_map.insert_or_assign(std::move(key), std::move(list));
    }
    return p;
}

void IdentityProver::dump_postcard(const std::string& path) const {
    OutputFile f(path);
    postcard::Writer w;
    // A prover can hold tens of millions of identities: its encoding goes to the file as
    // it grows instead of being held whole in memory.
    encode(w, [&](postcard::Writer& out) {
        if (out.bytes().size() >= kWriteChunk) {
            f.write(out.bytes());
            out.bytes().clear();
        }
    });
    f.write(w.bytes());
    f.flush();
}

IdentityProver IdentityProver::from_postcard(const std::string& path) {
    IdentityProver p = postcard::decode_file(path, [](postcard::Reader& r) { return deserialize(r); });
    // Rounds then invert only gates whose adjoints are already registered, in a fixed order.
    p.register_rule_adjoints();
    return p;
}

}  // namespace brimsel
