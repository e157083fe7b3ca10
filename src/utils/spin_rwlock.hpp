// A spinning reader-writer lock: readers share it, a writer excludes all; waiters busy-wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "panic.hpp"

namespace brimsel {

class SpinRwLock {
public:
    void lock_shared() {
        for (;;) {
            std::uint64_t prev = word_.fetch_add(kReader, std::memory_order_acquire);
            if (prev > kMaxReaders) [[unlikely]] {
                word_.fetch_sub(kReader, std::memory_order_relaxed);
                panic("Too many lock readers, cannot safely proceed");
            }
            if ((prev & kWriter) == 0) return;
            // A writer holds it: take our count back and wait.
            word_.fetch_sub(kReader, std::memory_order_relaxed);
            while (word_.load(std::memory_order_relaxed) & kWriter) relax();
        }
    }
    void unlock_shared() noexcept { word_.fetch_sub(kReader, std::memory_order_release); }

    void lock() noexcept {
        for (;;) {
            std::uint64_t expected = 0;
            if (word_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                            std::memory_order_relaxed))
                return;
            while (word_.load(std::memory_order_relaxed) != 0) relax();
        }
    }
    void unlock() noexcept { word_.fetch_and(~kWriter, std::memory_order_release); }

private:
    static void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#else
        std::this_thread::yield();
#endif
    }
    static constexpr std::uint64_t kWriter = 1;
    static constexpr std::uint64_t kReader = 4;
    static constexpr std::uint64_t kMaxReaders = std::uint64_t{1} << 63;
    std::atomic<std::uint64_t> word_{0};
};

}  // namespace brimsel
