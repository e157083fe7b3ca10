// File framing of every stored file: creation and opening with operating-system error texts,
// buffered writing, reading in bounded pieces.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brimsel {

// A file that could not be created or opened; what() is the whole message,
// e.g. "Failed to open file: No such file or directory (os error 2)".
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A write that failed; what() is the operating system's text of the error.
class WriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "No such file or directory (os error 2)"
std::string os_error_text(int err);

// What write_fully returns for a write that took nothing while bytes were left.
inline constexpr int kWriteZero = -1;

// Writes all of `data` to `fd`, retrying interrupted and partial writes. 0 once everything
// is written; otherwise the errno of the write that failed, or kWriteZero.
int write_fully(int fd, std::string_view data) noexcept;

// The text of a write_fully failure: os_error_text, or "failed to write whole buffer".
std::string write_error_text(int err);

// Why a path holding a NUL byte is refused: the operating system would take
// the text before the NUL as the path, a different file.
inline constexpr const char* kNulInPath = "file name contained an unexpected NUL byte";

// Creates or truncates `path` for writing (mode 0o666 before the umask).
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // Writes straight to the file; throws WriteError.
    void write_direct(std::string_view data);
    // Writes through the 8192-byte buffer; throws WriteError.
    void write(std::string_view data);
    void flush();

private:
    int fd_ = -1;
    std::string buffer_;
};

// Opens `path` read-only; throws FileError.
class InputFile {
public:
    explicit InputFile(const std::string& path);
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Reads at most `cap` bytes into `buf`, what one read returns: a pipe
    // gives what it holds without waiting for more. 0 at the end of the file
    // and on a read failure; the decoder reports what is missing.
    std::size_t read_some(void* buf, std::size_t cap) noexcept;

private:
    int fd_ = -1;
};

}  // namespace brimsel
