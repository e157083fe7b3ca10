// The process-wide work-stealing thread pool: parallel loops whose failures reach the caller in sequential order.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "panic.hpp"

namespace brimsel::pool {

// Never more workers than this, whatever the environment asks for.
inline constexpr std::size_t kMaxThreads = 4096;

// The worker count that the environment asks for: `num_threads` (RAYON_NUM_THREADS) when it
// is a positive number, the CPU count when it is 0; otherwise `rs_num_cpus`
// (RAYON_RS_NUM_CPUS) when positive, else the CPU count. Null means unset; texts that are
// not plain decimal numbers count as unset.
std::size_t worker_count(const char* num_threads, const char* rs_num_cpus, std::size_t cpus);

// The CPUs this process may run on (at least 1).
std::size_t available_cpus();

// Threads of the pool, created with it on first use from the environment read then.
std::size_t num_threads();

namespace detail {

// Calls range(ctx, begin, end) over disjoint ranges covering [0, n), on the pool's threads
// (the calling thread takes part). Returns when all are done. `range` must not throw.
void run(std::size_t n, void (*range)(void* ctx, std::size_t begin, std::size_t end), void* ctx);

// The failure of the lowest index seen so far.
class FirstFailure {
public:
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::size_t index() const noexcept { return index_.load(std::memory_order_acquire); }
    void record(std::size_t i, std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (i < index_.load(std::memory_order_relaxed)) {
            error_ = std::move(e);
            index_.store(i, std::memory_order_release);
        }
    }
    void rethrow() const {
        if (error_) raise_failure(error_);
    }

private:
    std::atomic<std::size_t> index_{kNone};
    std::mutex mutex_;
    std::exception_ptr error_;
};

}  // namespace detail

// Runs body(i) for every i in [0, n) in parallel and joins. When items fail, the failure of
// the lowest index is rethrown after the join, as a sequential loop would have thrown it,
// and only it is reported; items after a known failure are skipped, since they can no
// longer change the outcome.
template <class F>
void for_each(std::size_t n, F&& body) {
    struct Ctx {
        std::remove_reference_t<F>* body;
        detail::FirstFailure failure;
    } ctx{&body, {}};
    detail::run(
        n,
        [](void* p, std::size_t begin, std::size_t end) {
            Ctx& c = *static_cast<Ctx*>(p);
            const DeferredReports deferred;  // only the failure that reaches the caller is reported
            for (std::size_t i = begin; i < end; ++i) {
                if (c.failure.index() < i) return;
                try {
                    (*c.body)(i);
                } catch (...) {
                    c.failure.record(i, std::current_exception());
                }
            }
        },
        &ctx);
    ctx.failure.rethrow();
}

// f(i) for every i in [0, n), results in index order; failures as for for_each.
template <class F>
auto map(std::size_t n, F&& f) {
    using T = std::invoke_result_t<F&, std::size_t>;
    std::vector<std::optional<T>> slots(n);
    for_each(n, [&](std::size_t i) { slots[i].emplace(f(i)); });
    std::vector<T> out;
    out.reserve(n);
    for (auto& s : slots) out.push_back(std::move(*s));
    return out;
}

}  // namespace brimsel::pool
