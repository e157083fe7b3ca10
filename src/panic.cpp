// Reporting of internal failures on standard error.
#include "panic.hpp"

#include <unistd.h>

#include <cstring>
#include <pthread.h>

namespace brimsel {

namespace {

void write_all(int fd, const char* data, std::size_t len) {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void panic(std::string message, SourceLocation where) {
    char name[64] = {0};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0')
        std::strcpy(name, "<unnamed>");
    std::string report = "thread '";
    report += name;
    report += "' panicked at ";
    report += where.file_name();
    report += ':';
    report += std::to_string(where.line());
    report += ':';
    report += std::to_string(where.column());
    report += ":\n";
    report += message;
    report += '\n';
    write_all(STDERR_FILENO, report.data(), report.size());
    throw Panic(std::move(message), where);
}

void panic_index(std::size_t len, std::size_t index, SourceLocation where) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
              std::to_string(index),
          where);
}

void panic_unwrap_none(SourceLocation where) {
    panic("called `Option::unwrap()` on a `None` value", where);
}

}  // namespace brimsel
