// libFuzzer target: the class-file decoder must refuse bad data cleanly and round-trip what it accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "panic.hpp"
#include "search/mod.hpp"

using namespace brimsel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    postcard::Reader r(data, size);
    ECCs value;
    try {
        value = ECCs::deserialize(r);
    } catch (const postcard::Error&) {
        return 0;
    } catch (const Panic&) {
        return 0;  // a gate text that names no registered gate
    }
    postcard::Writer w;
    value.serialize(w);
    const std::string again = w.take();
    postcard::Reader r2(again);
    if (!(ECCs::deserialize(r2) == value)) std::abort();
    return 0;
}
