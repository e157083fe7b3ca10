// The terminal progress bar, drawn into a pseudo-terminal and read back byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "panic_matchers.hpp"
#include "utils/progress.hpp"

using namespace brimsel;

namespace {

constexpr std::uint64_t kMs = 1'000'000;
constexpr const char* kClear = "\r\x1b[2K";

// A pseudo-terminal of a chosen width: the bar writes to `slave`, the test reads `master`.
class Pty {
public:
    explicit Pty(unsigned short columns) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
        slave_ = ::open(ptsname(master_), O_RDWR | O_NOCTTY);
        if (slave_ < 0) throw std::runtime_error("no pty slave");
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);  // no "\n" -> "\r\n" translation: the bytes arrive as written
        tcsetattr(slave_, TCSANOW, &t);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        resize(columns);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty() {
        close_master();
        ::close(slave_);
    }

    int fd() const { return slave_; }
    void resize(unsigned short columns) {
        winsize ws{};
        ws.ws_row = 24;
        ws.ws_col = columns;
        ioctl(slave_, TIOCSWINSZ, &ws);
    }
    void close_master() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    // Everything written since the last call.
    std::string drain() {
        std::string out;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return out;
        }
    }

private:
    int master_ = -1;
    int slave_ = -1;
};

std::string repeat(const char* cell, std::uint64_t n) {
    std::string s;
    for (std::uint64_t i = 0; i < n; ++i) s += cell;
    return s;
}

// One drawing as it reaches the terminal.
std::string drawing(std::uint64_t filled, std::uint64_t empty, const std::string& text) {
    return kClear + repeat("\u2588", filled) + repeat("\u2591", empty) + text;
}

// A clock that only moves when the test says so.
struct FakeClock {
    std::uint64_t now = 0;
    ProgressBar::Clock clock() {
        return [this] { return now; };
    }
};

}  // namespace

TEST(ProgressBar, FirstIncDrawsAtOnceWithoutNewline) {
    Pty pty(40);
    ProgressBar bar(10, pty.fd());
    EXPECT_EQ(pty.drain(), "");  // nothing before the first step
    bar.inc();
    // " 1/10" takes 5 of 40 columns: 35 cells, floor(35 * 1 / 10) = 3 of them filled.
    EXPECT_EQ(pty.drain(), drawing(3, 32, " 1/10"));
    bar.finish();
}

TEST(ProgressBar, LayoutFollowsTerminalWidthAndText) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        unsigned short columns;
        std::uint64_t len, pos;
        std::uint64_t filled, empty;
        std::string text;
    };
    const Case cases[] = {
        {40, 10, 1, 3, 32, " 1/10"},
        {40, 1000, 999, 30, 1, " 999/1000"},  // floor, never rounded up to full
        {41, 1000, 999, 31, 1, " 999/1000"},
        {0, 10, 5, 37, 38, " 5/10"},          // size unknown: 80 columns
        {7, 10, 1, 0, 2, " 1/10"},
        {4, 10, 1, 0, 0, " 1/10"},            // narrower than the text: no bar
        {40, 0, 1, 36, 0, " 1/0"},            // a length of 0 counts as full
        {40, 3, 5, 36, 0, " 5/3"},            // past the end stays full
        {100, kMax, kMax - 1, 57, 1, " 18446744073709551614/18446744073709551615"},  // no overflow
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.columns << " columns, " << c.pos << "/" << c.len);
        Pty pty(c.columns);
        FakeClock t;
        ProgressBar bar(c.len, pty.fd(), t.clock());
        bar.inc(c.pos);
        EXPECT_EQ(pty.drain(), drawing(c.filled, c.empty, c.text));
        EXPECT_EQ(ProgressBar::render(c.pos, c.len, c.columns ? c.columns : 80),
                  drawing(c.filled, c.empty, c.text).substr(5));
    }
}

TEST(ProgressBar, RedrawsAtMostEvery50Ms) {
    Pty pty(40);
    FakeClock t;
    ProgressBar bar(10, pty.fd(), t.clock());
    // (time of the step, text drawn by it or "" for none)
    struct Step {
        std::uint64_t at;
        std::string text;
    };
    const Step steps[] = {
        {1000 * kMs, " 1/10"},     // the first step draws whatever the clock says
        {1001 * kMs, ""},
        {1050 * kMs - 1, ""},
        {1050 * kMs, " 4/10"},     // 50 ms after the last drawing
        {1099 * kMs, ""},          // counted from the last drawing, not the last step
        {1100 * kMs, " 6/10"},
    };
    std::uint64_t pos = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.at);
        t.now = s.at;
        bar.inc();
        ++pos;
        std::string out = pty.drain();
        if (s.text.empty())
            EXPECT_EQ(out, "");
        else
            EXPECT_EQ(out, drawing(35 * pos / 10, 35 - 35 * pos / 10, s.text));
    }
    EXPECT_EQ(bar.position(), 6u);
    // finish draws even within 50 ms of the last drawing.
    bar.finish();
    EXPECT_EQ(pty.drain(), drawing(34, 0, " 10/10") + "\n");
}

TEST(ProgressBar, FinishLeavesTheFullBarOnItsOwnLine) {
    struct Case {
        std::uint64_t len, incs;
        std::string final_line;
    };
    const Case cases[] = {
        {4, 4, drawing(36, 0, " 4/4") + "\n"},
        {4, 1, drawing(36, 0, " 4/4") + "\n"},  // finishing completes the position
        {0, 0, drawing(36, 0, " 0/0") + "\n"},  // finished without a step: still drawn
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.incs << " of " << c.len);
        Pty pty(40);
        FakeClock t;
        {
            ProgressBar bar(c.len, pty.fd(), t.clock());
            for (std::uint64_t i = 0; i < c.incs; ++i) bar.inc();
            pty.drain();
            bar.finish();
            EXPECT_TRUE(bar.is_finished());
            EXPECT_EQ(bar.position(), c.len);
            EXPECT_EQ(pty.drain(), c.final_line);
            // Finished is final: no second line, no redraw, and it stays when destroyed.
            t.now += 1000 * kMs;
            bar.finish();
            bar.inc();
            EXPECT_EQ(pty.drain(), "");
        }
        EXPECT_EQ(pty.drain(), "");
    }
}

TEST(ProgressBar, EachDrawingMeasuresTheTerminalAgain) {
    Pty pty(40);
    FakeClock t;
    ProgressBar bar(2, pty.fd(), t.clock());
    bar.inc();
    EXPECT_EQ(pty.drain(), drawing(18, 18, " 1/2"));
    pty.resize(20);
    bar.finish();
    EXPECT_EQ(pty.drain(), drawing(16, 0, " 2/2") + "\n");
}

TEST(ProgressBar, UnfinishedBarClearsItsLine) {
    Pty pty(40);
    FakeClock t;
    try {
        ProgressBar bar(10, pty.fd(), t.clock());
        bar.inc();
        EXPECT_EQ(pty.drain(), drawing(3, 32, " 1/10"));
        throw std::runtime_error("failed midway");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(pty.drain(), kClear);
    // A bar that never drew leaves nothing to clear.
    { ProgressBar bar(10, pty.fd(), t.clock()); }
    EXPECT_EQ(pty.drain(), "");
}

TEST(ProgressBar, WritesNothingWhenNotATerminal) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    {
        ProgressBar finished(3, fds[1]);
        for (int i = 0; i < 3; ++i) finished.inc();
        finished.finish();
        EXPECT_EQ(finished.position(), 3u);
        ProgressBar abandoned(3, fds[1]);
        abandoned.inc();
        ProgressBar closed_fd(3, -1);
        closed_fd.inc();
        closed_fd.finish();
    }
    char c;
    EXPECT_EQ(::read(fds[0], &c, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(ProgressBar, WriteFailuresAreIgnored) {
    Pty pty(40);
    FakeClock t;
    ProgressBar bar(3, pty.fd(), t.clock());
    bar.inc();
    pty.close_master();  // the terminal hangs up: writes now fail with EIO
    t.now += 100 * kMs;
    EXPECT_NO_THROW(bar.inc());
    EXPECT_NO_THROW(bar.finish());
    EXPECT_EQ(bar.position(), 3u);
}

TEST(ProgressBar, PositionSaturates) {
    ProgressBar bar(5, -1);
    bar.inc(std::numeric_limits<std::uint64_t>::max());
    bar.inc(2);
    EXPECT_EQ(bar.position(), std::numeric_limits<std::uint64_t>::max());
}

// Standard output pointed at `fd` for one test, put back afterwards.
class StdoutTo {
public:
    explicit StdoutTo(int fd) : saved_(::dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        ::dup2(fd, STDOUT_FILENO);
    }
    StdoutTo(const StdoutTo&) = delete;
    StdoutTo& operator=(const StdoutTo&) = delete;
    ~StdoutTo() {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }

private:
    int saved_;
};

TEST(PrintStdout, WritesEverythingOrFailsWithTheSystemText) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string text = std::string(5000, 'x') + "\n";
    {
        StdoutTo out(fds[1]);
        print_stdout(text);
    }
    ::close(fds[1]);
    std::string got;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    EXPECT_EQ(got, text);

    // A descriptor open for reading only refuses every write.
    const int read_only = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(read_only, 0);
    {
        StdoutTo out(read_only);
        testing::internal::CaptureStderr();
        EXPECT_PANIC(print_stdout("line\n"), "failed printing to stdout: Bad file descriptor (os error 9)");
        testing::internal::GetCapturedStderr();
    }
    ::close(read_only);
}
