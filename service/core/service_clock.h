// service_clock.h: the clock that norvd shows its clients.
//
// The service time is derived from a base clock that never steps
// (CLOCK_BOOTTIME, see clock_watch.h), so that a step of the wall clock by NTP
// cannot move a stamp while a delay bound is in flight. For tests the clock
// can be skewed by a fixed offset and a drift rate; verdicts are judged on the
// base clock, which base_time() recovers from a service time.
#ifndef NORVD_SERVICE_CLOCK_H
#define NORVD_SERVICE_CLOCK_H

#include <cstdint>
#include <string>

#include "core/times.h"

namespace norvd {

// The largest service time: readings never have their top bit set, since
// clients take such a reading for a failed one.
constexpr uint64_t kMaxServiceTime = UINT64_C(0x7FFFFFFFFFFFFFFF);

class ServiceClock {
public:
    // origin: the base time from which the drift accumulates (norvd's start).
    ServiceClock(int64_t offsetNs = 0, double driftPpm = 0.0, BaseTime origin = BaseTime())
        : offset_(offsetNs), ppm_(driftPpm), drift_(driftPpm * 1e-6), origin_(origin) {}

    // service = base + offset + round((base - origin) * drift), kept in
    // 0 .. kMaxServiceTime (the exact rules are in service_clock.cc).
    ServiceTime service_time(BaseTime base) const;

    // The inverse of service_time, kept in 0 .. kMaxServiceTime.
    BaseTime base_time(ServiceTime service) const;

    // "base NAME, offset O ns, drift D ppm, origin T ns": enough for anyone
    // who reads it to map a service stamp to the base clock and back. D is
    // written in the fewest digits that read back as the same double.
    std::string describe(const char *baseName) const;

private:
    int64_t offset_;
    double ppm_;
    double drift_;
    BaseTime origin_;
};

}  // namespace norvd

#endif  // NORVD_SERVICE_CLOCK_H
