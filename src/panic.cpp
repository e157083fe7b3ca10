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
    if (DeferredReports::active()) throw Panic(std::move(message), where, std::move(report), false);
    (void)write_fully(STDERR_FILENO, report);  // a report that cannot be written is dropped
    throw Panic(std::move(message), where, std::move(report), true);
}

namespace {
thread_local unsigned deferred_depth = 0;
}

DeferredReports::DeferredReports() noexcept { ++deferred_depth; }
DeferredReports::~DeferredReports() { --deferred_depth; }
bool DeferredReports::active() noexcept { return deferred_depth > 0; }

void report_once(const Panic& p) noexcept {
    if (p.reported_) return;
    p.reported_ = true;
    (void)write_fully(STDERR_FILENO, p.report_);
}

void raise_failure(const std::exception_ptr& failure) {
    if (!DeferredReports::active()) {
        try {
            std::rethrow_exception(failure);
        } catch (const Panic& p) {
            report_once(p);
        } catch (...) {
        }
    }
    std::rethrow_exception(failure);
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
