// libFuzzer target: the class-file decoder must refuse bad data cleanly and round-trip what it accepts.
#include <cstddef>
#include <cstdint>

#include "round_trip.hpp"
#include "search/mod.hpp"

using namespace brimsel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)fuzz::decode_and_round_trip<ECCs>(data, size, [](postcard::Reader& r) { return ECCs::deserialize(r); });
    return 0;
}
