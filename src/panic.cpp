// Reporting of internal failures on standard error.
#include "panic.hpp"

#include <unistd.h>

#include <cstring>
#include <pthread.h>

#include "utils/file.hpp"

namespace brimsel {

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
    (void)write_fully(STDERR_FILENO, report);  // a report that cannot be written is dropped
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
