// The terminal progress bar (drawing, throttling and the terminal's width) and plain console output.
#include "utils/progress.hpp"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <limits>
#include <string_view>
#include <utility>

#include "panic.hpp"
#include "utils/file.hpp"

namespace brimsel {

namespace {

constexpr std::string_view kFilled = "\u2588";  // █
constexpr std::string_view kEmpty = "\u2591";   // ░
constexpr std::string_view kClearLine = "\r\x1b[2K";

}  // namespace

void write_quietly(int fd, std::string_view data) noexcept { (void)write_fully(fd, data); }

void print_stdout(std::string_view text) {
    if (const int err = write_fully(STDOUT_FILENO, text))
        panic("failed printing to stdout: " + write_error_text(err));
}

std::uint64_t monotonic_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

ProgressBar::ProgressBar(std::uint64_t len, int fd) : ProgressBar(len, fd, monotonic_ns) {}

ProgressBar::ProgressBar(std::uint64_t len, int fd, Clock clock)
    : len_(len), fd_(fd), terminal_(fd >= 0 && ::isatty(fd) == 1), clock_(std::move(clock)) {}

ProgressBar::~ProgressBar() {
    if (drawn_ && !finished_) write_quietly(fd_, kClearLine);
}

void ProgressBar::inc(std::uint64_t delta) {
    pos_ = delta > std::numeric_limits<std::uint64_t>::max() - pos_ ? std::numeric_limits<std::uint64_t>::max()
                                                                    : pos_ + delta;
    if (!terminal_ || finished_) return;
    std::uint64_t now = clock_();
    if (drawn_ && now - last_draw_ns_ < kRedrawIntervalNs) return;
    last_draw_ns_ = now;
    draw(false);
}

void ProgressBar::finish() {
    if (finished_) return;
    pos_ = len_;
    if (terminal_) draw(true);
    finished_ = true;
}

void ProgressBar::draw(bool final_line) {
    std::string out(kClearLine);
    out += render(pos_, len_, columns());
    if (final_line) out += '\n';
    write_quietly(fd_, out);
    drawn_ = true;
}

unsigned ProgressBar::columns() const noexcept {
    winsize ws{};
    if (::ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return kDefaultColumns;
}

std::string ProgressBar::render(std::uint64_t pos, std::uint64_t len, unsigned columns) {
    std::string text = " " + std::to_string(pos) + "/" + std::to_string(len);
    std::uint64_t width = columns > text.size() ? columns - text.size() : 0;
    std::uint64_t filled = width;
    if (len > 0 && pos < len)  // width * pos can exceed 64 bits; the quotient is below width
        filled = static_cast<std::uint64_t>(static_cast<unsigned __int128>(width) * pos / len);
    std::string line;
    line.reserve(width * kFilled.size() + text.size());
    for (std::uint64_t i = 0; i < filled; ++i) line += kFilled;
    for (std::uint64_t i = filled; i < width; ++i) line += kEmpty;
    line += text;
    return line;
}

}  // namespace brimsel
