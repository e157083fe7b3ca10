// Creating, writing and reading stored files with the system's error texts.
#include "utils/file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brimsel {

namespace {

constexpr std::size_t kBufferSize = 8192;

void write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            throw WriteError(os_error_text(errno));
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

}  // namespace

std::string os_error_text(int err) {
    char buf[256];
    const char* text = strerror_r(err, buf, sizeof buf);  // GNU form
    return std::string(text) + " (os error " + std::to_string(err) + ")";
}

OutputFile::OutputFile(const std::string& path) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) throw FileError("Failed to create file: " + os_error_text(errno));
    buffer_.reserve(kBufferSize);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

void OutputFile::write_direct(std::string_view data) { write_all(fd_, data.data(), data.size()); }

void OutputFile::write(std::string_view data) {
    if (buffer_.size() + data.size() > kBufferSize) {
        flush();
        if (data.size() >= kBufferSize) {
            write_all(fd_, data.data(), data.size());
            return;
        }
    }
    buffer_.append(data);
}

void OutputFile::flush() {
    if (buffer_.empty()) return;
    std::string pending;
    pending.swap(buffer_);
    buffer_.reserve(kBufferSize);
    write_all(fd_, pending.data(), pending.size());
}

std::string read_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw FileError("Failed to open file: " + os_error_text(errno));
    std::string data;
    char buf[kBufferSize];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;  // a read failure ends the data; the decoder reports what is missing
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

}  // namespace brimsel
