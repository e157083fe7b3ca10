// Internal failures: violated invariants and refused caller input end the current call.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace brimsel {

// Where a failure was raised. Uses std::source_location where the standard
// library has it, else the compiler's builtins.
struct SourceLocation {
    const char* file = "";
    std::uint_least32_t line_ = 0;
    std::uint_least32_t column_ = 0;

#if defined(__cpp_lib_source_location)
    static constexpr SourceLocation current(
        std::source_location l = std::source_location::current()) noexcept {
        return SourceLocation{l.file_name(), l.line(), l.column()};
    }
#else
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            std::uint_least32_t line = __builtin_LINE(),
                                            std::uint_least32_t column = __builtin_COLUMN()) noexcept {
        return SourceLocation{file, line, column};
    }
#endif
    constexpr const char* file_name() const noexcept { return file; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return column_; }
};

// The one exception type of an internal failure. The binding layer turns it
// into Python's PanicException. Its report (thread, source location, message) is
// written to standard error once: when it is thrown, or, for a failure thrown
// where reports are deferred, when it is raised on (report_once).
class Panic : public std::exception {
public:
    Panic(std::string message, SourceLocation where, std::string report, bool reported)
        : message_(std::move(message)), where_(where), report_(std::move(report)), reported_(reported) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const SourceLocation& where() const noexcept { return where_; }

private:
    friend void report_once(const Panic&) noexcept;
    std::string message_;
    SourceLocation where_;
    std::string report_;
    mutable bool reported_;
};

// Reports the failure on standard error (unless reports are deferred on this
// thread) and throws Panic.
[[noreturn]] void panic(std::string message,
                        SourceLocation where = SourceLocation::current());

// While one lives, failures thrown on this thread are not reported: the code that
// catches them keeps one, drops others or tries again, and the failure that is
// finally raised is reported by raise_failure or by the binding layer.
class DeferredReports {
public:
    DeferredReports() noexcept;
    ~DeferredReports();
    DeferredReports(const DeferredReports&) = delete;
    DeferredReports& operator=(const DeferredReports&) = delete;
    static bool active() noexcept;
};

// Writes the failure's report on standard error if nothing has written it yet.
void report_once(const Panic& p) noexcept;

// Rethrows a failure caught earlier, reporting it first unless this thread defers reports.
[[noreturn]] void raise_failure(const std::exception_ptr& failure);

// The fixed texts of the common failures, so that callers see the same words
// whatever part of the system hit them.
[[noreturn]] void panic_index(std::size_t len, std::size_t index,
                              SourceLocation where = SourceLocation::current());
[[noreturn]] void panic_unwrap_none(SourceLocation where = SourceLocation::current());

// assert-like check that is never compiled out; the message is the one reported.
inline void check(bool ok, const char* message,
                  SourceLocation where = SourceLocation::current()) {
    if (!ok) [[unlikely]]
        panic(message, where);
}

// Bounds check of an index into a container of length len.
inline void check_index(std::size_t index, std::size_t len,
                        SourceLocation where = SourceLocation::current()) {
    if (index >= len) [[unlikely]]
        panic_index(len, index, where);
}

}  // namespace brimsel
