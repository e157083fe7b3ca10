// What every decoder target does first: bad data must be refused cleanly, and what is
// accepted must store and read back as an equal value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>

#include "panic.hpp"
#include "utils/postcard.hpp"

namespace brimsel::fuzz {

// The decoded value, or nothing when `read` refused the data. `same(a, b)` compares two values.
template <class T, class Read, class Same = std::equal_to<T>>
std::optional<T> decode_and_round_trip(const std::uint8_t* data, std::size_t size, Read read, Same same = {}) {
    postcard::Reader r(data, size);
    std::optional<T> value;
    try {
        value.emplace(read(r));
    } catch (const postcard::Error&) {
        return std::nullopt;
    } catch (const Panic&) {
        return std::nullopt;  // a gate text that names no registered gate
    }
    postcard::Writer w;
    value->serialize(w);
    const std::string again = w.take();
    postcard::Reader r2(again);
    if (!same(read(r2), *value)) std::abort();
    return value;
}

}  // namespace brimsel::fuzz
