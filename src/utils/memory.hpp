// Refusing allocations the machine cannot hold, before they are attempted.
#pragma once

#include <cstdint>

namespace brimsel {

// What this machine can hold at most: its memory plus its swap.
std::uint64_t memory_limit_bytes() noexcept;

// Throws std::bad_alloc (MemoryError in Python) when count * size bytes cannot
// fit, so that a huge request fails cleanly instead of ending the process.
void check_allocation(std::uint64_t count, std::uint64_t size);

}  // namespace brimsel
