// The postcard wire format: LEB128 varints, length-prefixed texts and sequences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brimsel::postcard {

// A format error; what() is the decoder's text, shown after "Failed to read postcard data: ".
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr const char* kEndOfBuffer = "Hit the end of buffer, expected more data";
inline constexpr const char* kBadVarint =
    "Found a varint that didn't terminate. Is the usize too big for this platform?";
inline constexpr const char* kBadUtf8 = "Tried to parse invalid utf-8";

// Appends encodings to a byte string.
class Writer {
public:
    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<char>((v & 0x7F) | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<char>(v));
    }
    void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void str(std::string_view s) {
        varint(s.size());
        out_.append(s);
    }
    std::string& bytes() noexcept { return out_; }
    std::string take() noexcept { return std::move(out_); }

private:
    std::string out_;
};

// Reads encodings from a byte span, checking every length against what is left.
class Reader {
public:
    Reader(const void* data, std::size_t len) noexcept
        : p_(static_cast<const unsigned char*>(data)), end_(p_ + len) {}
    explicit Reader(std::string_view s) noexcept : Reader(s.data(), s.size()) {}
    explicit Reader(std::string&&) = delete;  // would read a destroyed temporary

    std::uint8_t u8() {
        if (p_ == end_) throw Error(kEndOfBuffer);
        return *p_++;
    }
    // A varint of at most `bits` bits (32 or 64).
    std::uint64_t varint(unsigned bits = 64) {
        const unsigned max_bytes = (bits + 6) / 7;
        std::uint64_t v = 0;
        for (unsigned i = 0; i < max_bytes; ++i) {
            std::uint8_t b = u8();
            if (i + 1 == max_bytes) {
                // The last group holds only the bits that remain.
                const unsigned rest = bits - 7 * i;
                if (b >> rest) throw Error(kBadVarint);
            }
            v |= std::uint64_t{b & 0x7Fu} << (7 * i);
            if (!(b & 0x80)) return v;
        }
        throw Error(kBadVarint);
    }
    std::uint32_t varint32() { return static_cast<std::uint32_t>(varint(32)); }
    // A length: never more than the bytes left, so no allocation follows a forged count.
    std::size_t length(std::size_t min_bytes_per_item = 1) {
        std::uint64_t n = varint(64);
        if (min_bytes_per_item != 0 && n > remaining() / min_bytes_per_item)
            throw Error(kEndOfBuffer);
        return static_cast<std::size_t>(n);
    }
    std::string_view bytes(std::size_t n) {
        if (n > remaining()) throw Error(kEndOfBuffer);
        std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }
    // A UTF-8 text.
    std::string_view str() {
        std::uint64_t n = varint(64);
        if (n > remaining()) throw Error(kEndOfBuffer);
        std::string_view s = bytes(static_cast<std::size_t>(n));
        if (!valid_utf8(s)) throw Error(kBadUtf8);
        return s;
    }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }

    static bool valid_utf8(std::string_view s) noexcept;

private:
    const unsigned char* p_;
    const unsigned char* end_;
};

inline bool Reader::valid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t n;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) { n = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { n = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { n = 3; cp = c & 0x07; }
        else return false;
        if (static_cast<std::size_t>(end - p) <= n) return false;
        for (std::size_t i = 1; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
        if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += n + 1;
    }
    return true;
}

}  // namespace brimsel::postcard
