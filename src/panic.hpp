// Internal failures: violated invariants and refused caller input end the current call.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace brimsel {

// The one exception type of an internal failure. The binding layer turns it
// into Python's PanicException; the message and source location have already
// been written to standard error when it is thrown.
class Panic : public std::exception {
public:
    Panic(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Reports the failure on standard error and throws Panic.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Rust-style texts of the common failures, so that callers see the same words
// whatever part of the system hit them.
[[noreturn]] void panic_index(std::size_t len, std::size_t index,
                              std::source_location where = std::source_location::current());
[[noreturn]] void panic_unwrap_none(std::source_location where = std::source_location::current());

// assert-like check that is never compiled out; the message is the one reported.
inline void check(bool ok, const char* message,
                  std::source_location where = std::source_location::current()) {
    if (!ok) [[unlikely]]
        panic(message, where);
}

// Bounds check of an index into a container of length len.
inline void check_index(std::size_t index, std::size_t len,
                        std::source_location where = std::source_location::current()) {
    if (index >= len) [[unlikely]]
        panic_index(len, index, where);
}

}  // namespace brimsel
