// times.h: norvd's three time bases as types of their own.
//
// base time:    CLOCK_BOOTTIME ns, which never steps; every timer, deadline
//               and registration inside norvd (clock_watch.h).
// common time:  CLOCK_REALTIME ns, the clock the machines of a group share;
//               carried in peer messages (clock_watch.h converts).
// service time: what clients see (command 2, their stamps): base time
//               shifted and drifted by --clock-offset/--clock-drift
//               (service_clock.h converts).
//
// Each is a bare uint64_t underneath, so it costs nothing, but one base never
// turns into another without a call that names the conversion. A duration
// stays a plain uint64_t of ns. The arithmetic is that of uint64_t: a
// difference of a later time from an earlier one wraps, as it always did;
// callers that may meet that case compare first.
#ifndef NORVD_TIMES_H
#define NORVD_TIMES_H

#include <compare>
#include <cstdint>
#include <type_traits>

namespace norvd {

template <class Base>
struct TimeOn {
    uint64_t ns = 0;

    constexpr TimeOn() = default;
    constexpr explicit TimeOn(uint64_t v) : ns(v) {}

    constexpr auto operator<=>(const TimeOn &) const = default;

    constexpr TimeOn operator+(uint64_t d) const { return TimeOn(ns + d); }
    constexpr TimeOn operator-(uint64_t d) const { return TimeOn(ns - d); }
    constexpr uint64_t operator-(TimeOn earlier) const { return ns - earlier.ns; }
    constexpr TimeOn &operator+=(uint64_t d) { return ns += d, *this; }
};

struct BaseClockTag;
struct CommonClockTag;
struct ServiceClockTag;

using BaseTime = TimeOn<BaseClockTag>;
using CommonTime = TimeOn<CommonClockTag>;
using ServiceTime = TimeOn<ServiceClockTag>;

// Passed and stored as the integer it wraps, on the request and datagram paths too.
static_assert(sizeof(BaseTime) == sizeof(uint64_t) && std::is_trivially_copyable_v<BaseTime>);

}  // namespace norvd

#endif  // NORVD_TIMES_H
