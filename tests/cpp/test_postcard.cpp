// Saved forms of permutations and gates, and the checked postcard reader.
#include <gtest/gtest.h>

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
