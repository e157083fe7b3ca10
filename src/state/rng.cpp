// Entropy seeding of generators and the per-thread instance with its fork handling.
#include "state/rng.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>

#include "panic.hpp"

namespace brimsel {

namespace {

std::uint64_t splitmix64(std::uint64_t& x) noexcept {
    std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

bool read_urandom(unsigned char* out, std::size_t len) {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < len) {
        ssize_t r = ::read(fd, out + done, len - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<std::size_t>(r);
    }
    ::close(fd);
    return done == len;
}

void fill_entropy(unsigned char* out, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t r = ::getrandom(out + done, len - done, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == ENOSYS && read_urandom(out + done, len - done)) return;
            panic("could not read operating-system entropy");
        }
        done += static_cast<std::size_t>(r);
    }
}

// Bumped in every child after fork; a thread's generator notices the change.
std::atomic<std::uint64_t> fork_generation{0};

void on_fork_child() noexcept { fork_generation.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

Rng Rng::from_entropy() {
    Rng r;
    unsigned char bytes[sizeof r.s_];
    do {
        fill_entropy(bytes, sizeof bytes);
        for (int i = 0; i < 4; ++i) {
            std::uint64_t w = 0;
            for (int b = 0; b < 8; ++b) w |= std::uint64_t{bytes[8 * i + b]} << (8 * b);
            r.s_[i] = w;
        }
    } while ((r.s_[0] | r.s_[1] | r.s_[2] | r.s_[3]) == 0);  // the one state xoshiro cannot leave
    return r;
}

Rng Rng::from_seed(std::uint64_t seed) noexcept {
    Rng r;
    for (auto& w : r.s_) w = splitmix64(seed);
    return r;
}

Rng& thread_rng() {
    static std::once_flag registered;
    std::call_once(registered, [] { ::pthread_atfork(nullptr, nullptr, &on_fork_child); });
    struct Slot {
        Rng rng;
        std::uint64_t generation = 0;
        bool seeded = false;
    };
    thread_local Slot slot;
    const std::uint64_t now = fork_generation.load(std::memory_order_relaxed);
    if (!slot.seeded || slot.generation != now) {
        slot.rng = Rng::from_entropy();
        slot.generation = now;
        slot.seeded = true;
    }
    return slot.rng;
}

}  // namespace brimsel
