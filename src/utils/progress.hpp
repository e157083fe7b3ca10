// A one-line terminal progress bar: "{wide_bar} {pos}/{len}", redrawn at most 20 times a second;
// and the plain writes of console output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brimsel {

// Draws "███░░░ 3/6" on one line of the terminal behind `fd`, the bar taking every
// column that the " {pos}/{len}" text leaves free (80 columns when the terminal does
// not tell its size). Each drawing replaces the previous one ("\r\x1b[2K" then the
// line, written with write(2), no newline while the bar runs).
//
// Nothing at all is written when `fd` is not a terminal. Redrawing is throttled to
// one drawing per 50 ms; the first inc() draws at once. finish() sets the position
// to the length, draws that final bar and ends the line with "\n", so the bar stays
// on screen. A bar destroyed unfinished (e.g. by an exception) clears its line
// instead, leaving no half bar behind. Write failures are ignored: a progress bar
// never fails the work it reports on.
//
// Not thread-safe: one thread drives a bar.
class ProgressBar {
public:
    // Monotonic time in nanoseconds; used only to throttle redrawing.
    using Clock = std::function<std::uint64_t()>;

    static constexpr std::uint64_t kRedrawIntervalNs = 50'000'000;  // 20 drawings a second
    static constexpr unsigned kDefaultColumns = 80;

    explicit ProgressBar(std::uint64_t len, int fd = 2);
    // With its own clock, e.g. a fake one in tests.
    ProgressBar(std::uint64_t len, int fd, Clock clock);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar();

    // Advances the position by `delta` (saturating at 2^64 - 1) and redraws unless the
    // last drawing is less than 50 ms old. Has no visible effect after finish().
    void inc(std::uint64_t delta = 1);
    // Sets the position to the length and leaves the final bar on its own line. Later
    // calls do nothing.
    void finish();

    std::uint64_t position() const noexcept { return pos_; }
    std::uint64_t length() const noexcept { return len_; }
    bool is_finished() const noexcept { return finished_; }

    // The line for `pos` of `len` on a terminal `columns` wide, without control
    // sequences: floor(width * pos / len) cells "█" (all of them when len is 0 or
    // pos >= len), the rest "░", then " {pos}/{len}".
    static std::string render(std::uint64_t pos, std::uint64_t len, unsigned columns);

private:
    void draw(bool final_line);
    unsigned columns() const noexcept;

    std::uint64_t len_;
    std::uint64_t pos_ = 0;
    int fd_;
    bool terminal_;
    bool drawn_ = false;
    bool finished_ = false;
    std::uint64_t last_draw_ns_ = 0;
    Clock clock_;
};

// Monotonic time in nanoseconds (CLOCK_MONOTONIC); the clock of ProgressBar.
std::uint64_t monotonic_ns() noexcept;

// Writes everything to `fd`, retrying interrupted and partial writes; gives up silently on
// any other failure: progress output never fails the work it reports on.
void write_quietly(int fd, std::string_view data) noexcept;

// Writes a line to the process's standard output directly; a failed write is an internal
// failure "failed printing to stdout: {the error's text}".
void print_stdout(std::string_view text);

}  // namespace brimsel
