// Counts every heap allocation of a benchmark process, so a row can show what one call allocates.
#pragma once

#include <cstddef>

namespace bench {

std::size_t allocations() noexcept;

}  // namespace bench
