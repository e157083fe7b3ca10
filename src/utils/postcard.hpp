// The postcard wire format: LEB128 varints, length-prefixed texts and sequences.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "utils/file.hpp"

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

// Where a streaming Reader gets its bytes.
class Source {
public:
    // Fills at most `cap` bytes of `buf`; 0 at the end of the data or on a read failure.
    virtual std::size_t read(unsigned char* buf, std::size_t cap) = 0;

protected:
    ~Source() = default;
};

// Bytes taken from a Source at a time, and the longest text that can be read:
// a text is gathered in a scratch area of this size.
inline constexpr std::size_t kReadBufferSize = 8192;
inline constexpr std::size_t kTextScratchSize = 8192;

// Reads encodings from a byte span held in memory, or from a Source through a
// read buffer. A streaming reader asks its source for more only when the
// buffered bytes are used up, so it never reads past the end of a value.
class Reader {
public:
    Reader(const void* data, std::size_t len) noexcept
        : p_(static_cast<const unsigned char*>(data)), end_(p_ + len) {}
    explicit Reader(std::string_view s) noexcept : Reader(s.data(), s.size()) {}
    explicit Reader(std::string&&) = delete;  // would read a destroyed temporary
    explicit Reader(Source& source)
        : source_(&source), buffer_(new unsigned char[kReadBufferSize]),
          p_(buffer_.get()), end_(p_) {}

    std::uint8_t u8() {
        if (p_ == end_ && !refill()) throw Error(kEndOfBuffer);
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
    // An item count. Read from memory it is never more than the bytes left
    // allow; a stream's end is unknown, so its counts are taken as they come:
    // callers reserve no more than reservable() and let the items fill the rest.
    std::size_t length(std::size_t min_bytes_per_item = 1) {
        std::uint64_t n = varint(64);
        if (!source_ && min_bytes_per_item != 0 && n > remaining() / min_bytes_per_item)
            throw Error(kEndOfBuffer);
        return static_cast<std::size_t>(n);
    }
    // Room worth reserving for `n` items: no more than the buffered bytes can
    // hold, so a forged count reserves nothing.
    std::size_t reservable(std::size_t n, std::size_t min_bytes_per_item = 1) const noexcept {
        const std::size_t fit = remaining() / (min_bytes_per_item ? min_bytes_per_item : 1);
        return n < fit ? n : fit;
    }
    // `n` bytes, valid until the next read.
    std::string_view bytes(std::size_t n) {
        if (n <= remaining()) {
            std::string_view s(reinterpret_cast<const char*>(p_), n);
            p_ += n;
            return s;
        }
        if (!source_ || n > kTextScratchSize) throw Error(kEndOfBuffer);
        // Gathered across refills in the scratch area.
        scratch_.clear();
        while (scratch_.size() < n) {
            if (p_ == end_ && !refill()) throw Error(kEndOfBuffer);
            const std::size_t take = std::min(n - scratch_.size(), remaining());
            scratch_.append(reinterpret_cast<const char*>(p_), take);
            p_ += take;
        }
        return scratch_;
    }
    // A UTF-8 text of at most kTextScratchSize bytes, valid until the next read.
    std::string_view str() {
        std::uint64_t n = varint(64);
        if (n > kTextScratchSize) throw Error(kEndOfBuffer);
        std::string_view s = bytes(static_cast<std::size_t>(n));
        if (!valid_utf8(s)) throw Error(kBadUtf8);
        return s;
    }
    // Bytes left in memory, or buffered from the stream.
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }

    static bool valid_utf8(std::string_view s) noexcept;

private:
    bool refill() {
        if (!source_) return false;
        const std::size_t got = source_->read(buffer_.get(), kReadBufferSize);
        p_ = buffer_.get();
        end_ = p_ + (got < kReadBufferSize ? got : kReadBufferSize);
        return got != 0;
    }

    Source* source_ = nullptr;
    std::unique_ptr<unsigned char[]> buffer_;
    std::string scratch_;
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

// Stores what `encode(Writer&)` writes in the file at `path`, created or
// truncated. Throws FileError, and WriteError for a failed write.
template <class Encode>
void encode_file(const std::string& path, Encode&& encode) {
    Writer w;
    std::forward<Encode>(encode)(w);
    OutputFile f(path);
    f.write(w.bytes());
    f.flush();
}

// Decodes one value with `decode(Reader&)` from the file at `path`, reading
// it in pieces of kReadBufferSize bytes and no further than the value goes,
// so an endless file or an open pipe ends with the value. Throws FileError,
// and Error for bad data.
template <class Decode>
auto decode_file(const std::string& path, Decode&& decode) {
    struct FileSource final : Source {
        InputFile file;
        explicit FileSource(const std::string& p) : file(p) {}
        std::size_t read(unsigned char* buf, std::size_t cap) override { return file.read_some(buf, cap); }
    } source(path);
    Reader r(source);
    return std::forward<Decode>(decode)(r);
}

}  // namespace brimsel::postcard
