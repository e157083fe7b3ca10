// Text form of tolerant reals.
#include "qreal_f64.hpp"

#include <cstdio>

namespace brimsel {

std::string Qreal::format(int decimals, bool plus) const {
    if (std::isnan(value)) return "NaN";
    if (decimals < 0) decimals = 0;
    if (decimals > 64) decimals = 64;
    char buf[512];
    // glibc prints the exact binary value, rounding ties to even.
    int n = std::snprintf(buf, sizeof buf, plus ? "%+.*f" : "%.*f", decimals, value);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) >= sizeof buf) {
        std::string s(static_cast<std::size_t>(n) + 1, '\0');
        std::snprintf(s.data(), s.size(), plus ? "%+.*f" : "%.*f", decimals, value);
        s.resize(static_cast<std::size_t>(n));
        return s;
    }
    return std::string(buf, static_cast<std::size_t>(n));
}

}  // namespace brimsel
