// estimation.h: the number conversions of the delay estimation.
// Internal to the library; kept apart so their edge values can be tested.
#ifndef NORV_ESTIMATION_H
#define NORV_ESTIMATION_H

#include <cstdint>

namespace norv::estimation {

// A 64-bit service time entering floating-point work: its unsigned value,
// rounded to the nearest double. Both halves convert exactly and the one sum
// rounds once, so the result does not hang on how a compiler converts
// unsigned 64-bit numbers on a 32-bit target.
inline double to_double(uint64_t v) {
    return static_cast<double>(static_cast<uint32_t>(v >> 32)) * 4294967296.0 +
           static_cast<double>(static_cast<uint32_t>(v));
}

// A floating-point result going back to a 64-bit service time: truncation
// toward zero; a negative result gives 0 and one of 2^64 or more saturates
// at 2^64 - 1. Out-of-range values are caught before the conversion, which
// C++ leaves undefined for them. (NaN cannot arise from finite inputs; it
// would give 0.)
inline uint64_t to_u64(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return UINT64_MAX;  // 2^64
    return static_cast<uint64_t>(x);
}

// Keeps the delay interval D +- R of an echoed datagram at or above zero.
// D is a difference of clock readings and may be negative: read as signed 64-bit. When it is negative, or below R,
// the interval D +- R reaches below zero; it is cut at zero and centred again:
// D and R both become floor((D + R) / 2), the sum taken exactly (it needs 66
// bits, so it is never formed in 64), or both 0 when that sum is negative.
inline void centre_at_zero(uint64_t *d, uint64_t *r) {
    uint64_t D = *d;
    uint64_t R = *r;
    if (static_cast<int64_t>(D) < 0) {
        uint64_t magnitude = 0 - D;  // -D, in 1 .. 2^63
        uint64_t half = R >= magnitude ? (R - magnitude) / 2 : 0;
        *d = *r = half;
    } else if (D < R) {
        // floor((D + R) / 2) without the carry out of 64 bits.
        uint64_t half = (D >> 1) + (R >> 1) + (D & R & 1);
        *d = *r = half;
    }
}

}  // namespace norv::estimation

#endif  // NORV_ESTIMATION_H
