// Whether the wide vector paths (AVX2) may run: the processor has them and no test has turned them off.
#pragma once

namespace brimsel {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define BRIMSEL_HAVE_AVX2_PATHS 1
#endif

bool use_avx2() noexcept;
// Tests run the portable paths on every machine with this; it is not thread-safe.
void set_avx2_allowed(bool allowed) noexcept;

}  // namespace brimsel
