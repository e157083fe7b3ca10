// Saved forms of permutations and gates, and the checked postcard reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "circ/gate.hpp"
#include "groups/permutation.hpp"
#include "panic_matchers.hpp"
#include "utils/postcard.hpp"

using namespace brimsel;

namespace {

std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(static_cast<char>(b));
    return s;
}

// Hands out `data` in pieces of at most `piece` bytes; a read after the data
// is used up is a failure of the test unless `end_ok`.
struct PieceSource final : postcard::Source {
    std::string data;
    std::size_t piece;
    bool end_ok = true;
    std::size_t pos = 0;
    std::size_t reads = 0;

    PieceSource(std::string d, std::size_t p) : data(std::move(d)), piece(p) {}
    std::size_t read(unsigned char* buf, std::size_t cap) override {
        ++reads;
        if (pos == data.size() && !end_ok) ADD_FAILURE() << "read past the end of the value";
        const std::size_t n = std::min({cap, piece, data.size() - pos});
        std::memcpy(buf, data.data() + pos, n);
        pos += n;
        return n;
    }
};

}  // namespace

TEST(Postcard, SavedForms) {
    postcard::Writer w;
    Gate16(1).serialize(w);
    EXPECT_EQ(w.take(), bytes({0x01, 0x68}));
    Gate16(17).serialize(w);
    EXPECT_EQ(w.take(), "\x08" + std::string("rz(pi/3)"));
    Permut32::identity(1).serialize(w);
    EXPECT_EQ(w.take(), bytes({0x80, 0x80, 0x80, 0x08}));
    Permut32().serialize(w);
    EXPECT_EQ(w.take(), bytes({0x00}));

    const std::string saved = bytes({0x01, 0x68, 0x80, 0x80, 0x80, 0x08});
    postcard::Reader r(saved);
    EXPECT_EQ(Gate16::deserialize(r), Gate16(1));
    EXPECT_EQ(Permut32::deserialize(r), Permut32::identity(1));
    EXPECT_EQ(r.remaining(), 0u);

    // Words are not checked on reading: whatever was stored comes back.
    const std::string all_ones = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x0F});
    postcard::Reader any(all_ones);
    EXPECT_EQ(Permut32::deserialize(any).raw, 0xFFFFFFFFu);

    postcard::Reader unknown(std::string_view("\x0anosuchgate"));
    EXPECT_PANIC(Gate16::deserialize(unknown), "Failed to deserialize Gate16 from nosuchgate");
}

TEST(Postcard, MalformedInput) {
    struct Case {
        std::string data;
        int what;  // 0: u32 varint, 1: u64 varint, 2: text
        const char* error;
    } cases[] = {
        {"", 0, postcard::kEndOfBuffer},
        {bytes({0x80}), 0, postcard::kEndOfBuffer},
        {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x10}), 0, postcard::kBadVarint},  // fifth byte > 15
        {bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x01}), 0, postcard::kBadVarint},
        {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}), 1,
         postcard::kBadVarint},  // tenth byte > 1
        {bytes({0x05, 'a', 'b'}), 2, postcard::kEndOfBuffer},
        {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), 2,
         postcard::kEndOfBuffer},  // a forged length allocates nothing
        {bytes({0x02, 0xC3, 0x28}), 2, postcard::kBadUtf8},
        {bytes({0x03, 0xED, 0xA0, 0x80}), 2, postcard::kBadUtf8},  // a surrogate
        {bytes({0x02, 0xC0, 0x80}), 2, postcard::kBadUtf8},        // overlong
    };
    for (const auto& c : cases) {
        postcard::Reader r(c.data);
        try {
            if (c.what == 0) r.varint32();
            else if (c.what == 1) r.varint(64);
            else r.str();
            ADD_FAILURE() << "no error for case with " << c.data.size() << " bytes";
        } catch (const postcard::Error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
    const std::string max64 = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
    postcard::Reader ok(max64);
    EXPECT_EQ(ok.varint(64), ~0ull);
    postcard::Reader dagger(std::string_view("\x04u\xE2\x80\xA0"));
    EXPECT_EQ(dagger.str(), "u\xE2\x80\xA0");
}

TEST(Postcard, StreamingReader) {
    const std::string longest(postcard::kTextScratchSize, 'g');
    postcard::Writer w;
    w.varint(~0ull);
    w.str("rz(pi/3)");
    w.str(longest);
    w.varint(0xFFFFFFFFu);
    w.u8(0x7F);
    const std::string data = w.take();
    // Values split at every kind of piece boundary read as they do from memory.
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4095},
                              postcard::kReadBufferSize, data.size()}) {
        PieceSource src(data, piece);
        src.end_ok = false;
        postcard::Reader r(src);
        EXPECT_EQ(r.varint(64), ~0ull) << piece;
        EXPECT_EQ(r.str(), "rz(pi/3)") << piece;
        EXPECT_EQ(r.str(), longest) << piece;
        EXPECT_EQ(r.varint32(), 0xFFFFFFFFu) << piece;
        EXPECT_EQ(r.u8(), 0x7F) << piece;
        // The last value ends the reading: the source is not asked again.
        EXPECT_EQ(src.pos, data.size());
    }

    struct Case {
        std::string data;
        const char* error;
    } cases[] = {
        {"", postcard::kEndOfBuffer},
        {bytes({0x05, 'a', 'b'}), postcard::kEndOfBuffer},
        // one byte over the scratch area is refused before any of it is read
        {bytes({0x81, 0x40}) + std::string(8193, 'a'), postcard::kEndOfBuffer},
        {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), postcard::kEndOfBuffer},
        {bytes({0x02, 0xC3, 0x28}), postcard::kBadUtf8},
    };
    for (const Case& c : cases) {
        PieceSource src(c.data, 3);
        postcard::Reader r(src);
        try {
            r.str();
            ADD_FAILURE() << "no error for a text of " << c.data.size() << " bytes";
        } catch (const postcard::Error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        if (c.data.size() > 8192) {
            EXPECT_EQ(src.pos, 3u);
        }
    }

    // A stream's end is unknown, so a count is taken as it comes, but only
    // what is buffered can be reserved for.
    PieceSource forged(bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00}), 100);
    postcard::Reader r(forged);
    const std::size_t huge = (std::size_t{1} << 63) - 1;
    EXPECT_EQ(r.length(3), huge);
    EXPECT_EQ(r.reservable(huge, 3), 0u);  // two bytes are buffered
    EXPECT_EQ(r.reservable(huge, 1), 2u);
    EXPECT_EQ(r.reservable(1, 1), 1u);
}
