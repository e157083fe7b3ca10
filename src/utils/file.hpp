// File framing of every stored file: creation and opening with operating-system error texts, buffered writing.
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

// The whole content of a file opened read-only; throws FileError.
std::string read_file(const std::string& path);

}  // namespace brimsel
