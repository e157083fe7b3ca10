// Class files and the Quartz export: example bytes, round trips, malformed input.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "circ/gate/gates.hpp"
#include "panic_matchers.hpp"
#include "search/double_perm_search.hpp"
#include "utils/file.hpp"

using namespace brimsel;

namespace {

std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v) s.push_back(static_cast<char>(b));
    return s;
}

ECCs one_h() {
    return ECCs{{ECC{{EccMember{{Instr32(gates::H(), QArgs16::one(0))}, Permut32::identity(1)}}}}, 1};
}

std::string decode_error(const std::string& data) {
    postcard::Reader r(data);
    try {
        ECCs::deserialize(r);
    } catch (const postcard::Error& e) {
        return e.what();
    }
    return "";
}

}  // namespace

TEST(EccsFile, ExampleBytesAndRoundTrip) {
    postcard::Writer w;
    one_h().serialize(w);
    const std::string data = w.take();
    EXPECT_EQ(data, bytes({0x01, 0x01, 0x01, 0x01, 0x68, 0x00, 0xFF, 0x80, 0x80, 0x80, 0x08, 0x01}));
    postcard::Reader r(data);
    EXPECT_EQ(ECCs::deserialize(r), one_h());

    postcard::Writer empty;
    ECCs{}.serialize(empty);
    EXPECT_EQ(empty.take(), bytes({0x00, 0x00}));

    Rng rng = Rng::from_seed(3);
    const Evaluator ev = Evaluator::from_random(2, rng);
    const ECCs found = RawECCs::generate(ev, {gates::H(), gates::T(), gates::CX()}, 3).first.simplify();
    postcard::Writer fw;
    found.serialize(fw);
    std::string stored = fw.take();
    stored += "trailing bytes are not read";
    postcard::Reader fr(stored);
    EXPECT_EQ(ECCs::deserialize(fr), found);
}

TEST(EccsFile, MalformedData) {
    postcard::Writer w;
    one_h().serialize(w);
    const std::string good = w.take();
    // Cut short anywhere.
    for (std::size_t n = 0; n < good.size(); ++n)
        EXPECT_EQ(decode_error(good.substr(0, n)), postcard::kEndOfBuffer) << n;

    struct Case {
        std::string data;
        std::string error;
    } cases[] = {
        // A forged class count is refused before anything is reserved.
        {bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}), postcard::kEndOfBuffer},
        {bytes({0x01, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}), postcard::kEndOfBuffer},
        {bytes({0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}), postcard::kBadVarint},
        {bytes({0x01, 0x01, 0x01, 0x02, 0xC3, 0x28, 0x00, 0xFF, 0x80, 0x80, 0x80, 0x08, 0x01}),
         postcard::kBadUtf8},
        // qubit byte 8
        {bytes({0x01, 0x01, 0x01, 0x01, 0x68, 0x08, 0xFF, 0x80, 0x80, 0x80, 0x08, 0x01}),
         "Qubit index must be less than 8"},
        // permutation (0 0): images not distinct
        {bytes({0x01, 0x01, 0x00, 0x80, 0x80, 0x80, 0x10, 0x01}), "Invalid permutation word 33554432"},
        // permutation (4 3): images past its length
        {bytes({0x01, 0x01, 0x00, 0x9C, 0x80, 0x80, 0x10, 0x02}),
         "Invalid permutation word 33554460 (4 3): values must be less than its length"},
        // permutation (0 1 3)
        {bytes({0x01, 0x01, 0x00, 0xC8, 0x81, 0x80, 0x18, 0x03}),
         "Invalid permutation word 50331848 (0 1 3): values must be less than its length"},
        // length 9
        {bytes({0x01, 0x01, 0x00, 0x80, 0x80, 0x80, 0x48, 0x01}), "Invalid permutation word 150994944"},
        // nqubits 9
        {bytes({0x00, 0x09}), "Qubit count must be at most 8"},
        // a permutation word of 6 bytes
        {bytes({0x01, 0x01, 0x00, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01, 0x01}), postcard::kBadVarint},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_error(c.data), c.error);

    const std::string unknown = bytes({0x01, 0x01, 0x01, 0x02, 'h', 'q', 0x00, 0xFF, 0x80, 0x80, 0x80, 0x08, 0x01});
    postcard::Reader r(unknown);
    EXPECT_PANIC(ECCs::deserialize(r), "Failed to deserialize Gate16 from hq");

    // A gate text longer than the scratch area cannot be read.
    postcard::Writer big;
    big.varint(1);
    big.varint(1);
    big.varint(1);
    big.str(std::string(8193, 'a'));
    EXPECT_EQ(decode_error(big.take()), postcard::kEndOfBuffer);
}

TEST(EccsFile, Files) {
    char dir[] = "/tmp/brimsel-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/eccs.bin";
    one_h().dump_postcard(path);
    EXPECT_EQ(ECCs::from_postcard(path), one_h());
    try {
        ECCs::from_postcard(std::string(dir) + "/missing.bin");
        ADD_FAILURE();
    } catch (const FileError& e) {
        EXPECT_STREQ(e.what(), "Failed to open file: No such file or directory (os error 2)");
    }
    try {
        one_h().dump_postcard(std::string(dir) + "/no/such/dir/x.bin");
        ADD_FAILURE();
    } catch (const FileError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Failed to create file: ", 0), 0u);
    }

    // Read through the bounded buffer: an endless file ends with the value,
    // a forged count reserves nothing and runs out of data.
    EXPECT_EQ(ECCs::from_postcard("/dev/zero"), ECCs{});
    {
        OutputFile f(path);
        f.write(bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}));
        f.flush();
    }
    try {
        ECCs::from_postcard(path);
        ADD_FAILURE();
    } catch (const postcard::Error& e) {
        EXPECT_STREQ(e.what(), postcard::kEndOfBuffer);
    }

    // A NUL byte would cut the path short to another file's name.
    const std::string cut = std::string(dir) + "/cut";
    for (const std::string& bad : {cut + std::string("\0.bin", 5), std::string("\0", 1)}) {
        try {
            one_h().dump_postcard(bad);
            ADD_FAILURE();
        } catch (const FileError& e) {
            EXPECT_STREQ(e.what(), "Failed to create file: file name contained an unexpected NUL byte");
        }
        try {
            ECCs::from_postcard(bad);
            ADD_FAILURE();
        } catch (const FileError& e) {
            EXPECT_STREQ(e.what(), "Failed to open file: file name contained an unexpected NUL byte");
        }
    }
    EXPECT_NE(access(cut.c_str(), F_OK), 0);
    std::remove(path.c_str());
    rmdir(dir);
}

TEST(Quartz, Documents) {
    // The worked example: the single-member class is skipped but counts for the position.
    ECCs ex{{ECC{{EccMember{{}, Permut32::identity(1)}}},
             ECC{{EccMember{{}, Permut32::identity(1)},
                  EccMember{{Instr32(gates::H(), QArgs16::one(0)), Instr32(gates::H(), QArgs16::one(0))},
                            Permut32::identity(1)}}}},
            1};
    EXPECT_EQ(ex.quartz_json(),
              "[[[0],[0]],{\"1_0\":[[[1,0],[]],[[1,2],[[\"h\",[\"Q0\"],[\"Q0\"]],[\"h\",[\"Q0\"],[\"Q0\"]]]]]}]");
    EXPECT_EQ(ECCs{}.quartz_json(), "[[[0],[0]],{}]");
    EXPECT_EQ(one_h().quartz_json(), "[[[0],[0]],{}]");

    // Two members whose permutations are the identity and the exchange: two variants.
    const Permut32 id = Permut32::identity(2), sw = Permut32::from_iter({1, 0});
    ECCs two{{ECC{{EccMember{{Instr32(gates::CX(), QArgs16::two(1, 0))}, id},
                   EccMember{{Instr32(Gate16(17), QArgs16::one(1))}, sw}}}},
             2};
    EXPECT_EQ(two.quartz_json(),
              "[[[0],[0]],{"
              "\"0_0\":[[[2,1],[[\"cx\",[\"Q1\",\"Q0\"],[\"Q1\",\"Q0\"]]]],"
              "[[2,2],[[\"rz(pi/3)\",[\"Q1\"],[\"Q1\"]],[\"swap\",[\"Q0\",\"Q1\"],[\"Q0\",\"Q1\"]]]]],"
              "\"0_1\":[[[2,2],[[\"cx\",[\"Q1\",\"Q0\"],[\"Q1\",\"Q0\"]],[\"swap\",[\"Q0\",\"Q1\"],[\"Q0\",\"Q1\"]]]],"
              "[[2,1],[[\"rz(pi/3)\",[\"Q1\"],[\"Q1\"]]]]]}]");

    // Keys order as bytes: 10_0 before 1_0.
    ECCs many;
    many.nqubits = 1;
    const EccMember e{{}, Permut32::identity(1)};
    for (int k = 0; k < 17; ++k) many.eccs.push_back(k == 1 || k == 16 ? ECC{{e, e}} : ECC{{e}});
    const std::string doc = many.quartz_json();
    EXPECT_LT(doc.find("\"10_0\""), doc.find("\"1_0\""));
}
