// The process-wide thread pool on oneTBB, sized from the environment on first use.
#include "utils/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_scheduler_observer.h>

namespace brimsel::pool {

namespace {

// A plain decimal number (an optional '+', then digits) that fits; anything else is nothing.
std::optional<std::size_t> parse_count(const char* s) {
    if (!s) return std::nullopt;
    if (*s == '+') ++s;
    if (*s == '\0') return std::nullopt;
    std::size_t v = 0;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') return std::nullopt;
        const std::size_t d = static_cast<std::size_t>(*s - '0');
        if (v > (std::numeric_limits<std::size_t>::max() - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

// Workers inherit the creating thread's name; an empty one keeps failure reports from
// naming a worker after the interpreter's main thread.
class WorkerNames : public tbb::task_scheduler_observer {
public:
    explicit WorkerNames(tbb::task_arena& a) : tbb::task_scheduler_observer(a) { observe(true); }
    void on_scheduler_entry(bool is_worker) override {
        thread_local bool named = false;
        if (is_worker && !named) {
            pthread_setname_np(pthread_self(), "");
            named = true;
        }
    }
};

struct Pool {
    std::size_t threads;
    // The arena can only hold as many threads as the scheduler allows; raise the limit when
    // more threads than CPUs are asked for, never lower it.
    tbb::global_control limit;
    tbb::task_arena arena;
    WorkerNames names;

    explicit Pool(std::size_t n)
        : threads(n),
          limit(tbb::global_control::max_allowed_parallelism,
                std::max<std::size_t>(n, static_cast<std::size_t>(std::max(1, tbb::info::default_concurrency())))),
          arena(static_cast<int>(n), 1),
          names(arena) {}
};

// The process that built the pool. A child forked after that inherits the
// scheduler's state without its threads, so it runs parallel loops on the
// calling thread instead (same results, same order of failures).
std::atomic<pid_t> creator{0};

Pool& instance() {
    // Built once by the first caller, never destroyed: workers may outlive static destruction.
    static Pool* pool = [] {
        auto* p = new Pool(worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                        available_cpus()));
        creator.store(getpid(), std::memory_order_release);
        return p;
    }();
    return *pool;
}

bool forked_after_creation() {
    const pid_t c = creator.load(std::memory_order_acquire);
    return c != 0 && c != getpid();
}

}  // namespace

std::size_t worker_count(const char* num_threads, const char* rs_num_cpus, std::size_t cpus) {
    const std::size_t fallback = std::clamp<std::size_t>(cpus, 1, kMaxThreads);
    if (const auto n = parse_count(num_threads)) return *n == 0 ? fallback : std::min(*n, kMaxThreads);
    if (const auto n = parse_count(rs_num_cpus); n && *n > 0) return std::min(*n, kMaxThreads);
    return fallback;
}

std::size_t available_cpus() {
    for (int ncpus = CPU_SETSIZE; ncpus <= (1 << 20); ncpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(ncpus);
        if (!set) break;
        const std::size_t size = CPU_ALLOC_SIZE(ncpus);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            if (count > 0) return static_cast<std::size_t>(count);
            break;
        }
        CPU_FREE(set);
        if (errno != EINVAL) break;  // EINVAL: the kernel's mask is larger than ours
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

std::size_t num_threads() { return instance().threads; }

void detail::run(std::size_t n, void (*range)(void*, std::size_t, std::size_t), void* ctx) {
    if (n == 0) return;
    if (forked_after_creation()) {
        range(ctx, 0, n);
        return;
    }
    instance().arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n),
                          [&](const tbb::blocked_range<std::size_t>& r) { range(ctx, r.begin(), r.end()); });
    });
}

}  // namespace brimsel::pool
