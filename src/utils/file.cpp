// Creating, writing and reading stored files with the system's error texts.
#include "utils/file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brimsel {

namespace {

constexpr std::size_t kBufferSize = 8192;

void write_all(int fd, std::string_view data) {
    if (const int err = write_fully(fd, data)) throw WriteError(write_error_text(err));
}

// Opens `path`; a failure throws FileError with `failure` ("Failed to ... file: ") before its text.
int open_path(const std::string& path, int flags, const char* failure) {
    if (path.find('\0') != std::string::npos) throw FileError(failure + std::string(kNulInPath));
    for (;;) {
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EINTR) throw FileError(failure + os_error_text(errno));
    }
}

}  // namespace

std::string os_error_text(int err) {
    char buf[256];
    const char* text = strerror_r(err, buf, sizeof buf);  // GNU form
    return std::string(text) + " (os error " + std::to_string(err) + ")";
}

int write_fully(int fd, std::string_view data) noexcept {
    const char* p = data.data();
    std::size_t n = data.size();
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return kWriteZero;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

std::string write_error_text(int err) {
    return err == kWriteZero ? "failed to write whole buffer" : os_error_text(err);
}

OutputFile::OutputFile(const std::string& path) {
    fd_ = open_path(path, O_WRONLY | O_CREAT | O_TRUNC, "Failed to create file: ");
    buffer_.reserve(kBufferSize);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
}

void OutputFile::write_direct(std::string_view data) { write_all(fd_, data); }

void OutputFile::write(std::string_view data) {
    if (buffer_.size() + data.size() > kBufferSize) {
        flush();
        if (data.size() >= kBufferSize) {
            write_all(fd_, data);
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
    write_all(fd_, pending);
}

InputFile::InputFile(const std::string& path) : fd_(open_path(path, O_RDONLY, "Failed to open file: ")) {}

InputFile::~InputFile() { ::close(fd_); }

std::size_t InputFile::read_some(void* buf, std::size_t cap) noexcept {
    for (;;) {
        const ssize_t n = ::read(fd_, buf, cap);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return 0;
    }
}

}  // namespace brimsel
