// The machine's memory limit, read once.
#include "utils/memory.hpp"

#include <sys/sysinfo.h>

#include <new>

namespace brimsel {

std::uint64_t memory_limit_bytes() noexcept {
    static const std::uint64_t limit = [] {
        struct sysinfo info {};
        if (::sysinfo(&info) != 0) return ~std::uint64_t{0};
        const std::uint64_t unit = info.mem_unit ? info.mem_unit : 1;
        return (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * unit;
    }();
    return limit;
}

void check_allocation(std::uint64_t count, std::uint64_t size) {
    if (size != 0 && count > memory_limit_bytes() / size) throw std::bad_alloc();
}

}  // namespace brimsel
