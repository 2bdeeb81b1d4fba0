// saturating.h: signed 64-bit sums and differences that saturate instead of
// wrapping, for times and offsets: a skew, a step or a garbage stamp gives an
// extreme value, never one that looks plausible. No 128-bit integers, so
// that the same code builds for 32-bit x86.
#ifndef NORVD_SATURATING_H
#define NORVD_SATURATING_H

#include <cstdint>

namespace norvd {

inline int64_t sat_add(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

inline int64_t sat_sub(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN;
    return r;
}

// v as a signed value; 2^63 or more counts as 2^63 - 1.
inline int64_t as_signed(uint64_t v) { return v > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(v); }

}  // namespace norvd

#endif  // NORVD_SATURATING_H
