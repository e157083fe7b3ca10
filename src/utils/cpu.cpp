#include "utils/cpu.hpp"

namespace brimsel {

namespace {

bool allowed = true;

bool processor_has_avx2() noexcept {
#if defined(BRIMSEL_HAVE_AVX2_PATHS)
    static const bool has = [] {
        __builtin_cpu_init();  // harmless when the library's constructors have already run it
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
#else
    return false;
#endif
}

}  // namespace

bool use_avx2() noexcept { return allowed && processor_has_avx2(); }

void set_avx2_allowed(bool a) noexcept { allowed = a; }

}  // namespace brimsel
