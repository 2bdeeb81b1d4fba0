// service_clock.h: the clock that norvd shows its clients.
//
// The service time is nanoseconds of CLOCK_REALTIME, so that the services of
// machines kept in step by NTP or PTP agree. For tests the clock can be skewed
// by a fixed offset and a drift rate; verdicts are still judged on the true
// time, which true_time() recovers from a service time.
#ifndef NORVD_SERVICE_CLOCK_H
#define NORVD_SERVICE_CLOCK_H

#include <cstdint>

namespace norvd {

// The largest service time: readings never have their top bit set, since
// clients take such a reading for a failed one.
constexpr uint64_t kMaxServiceTime = UINT64_C(0x7FFFFFFFFFFFFFFF);

class ServiceClock {
public:
    // epoch: the true time from which the drift accumulates (norvd's start).
    ServiceClock(int64_t offsetNs = 0, double driftPpm = 0.0, uint64_t epoch = 0)
        : offset_(offsetNs), drift_(driftPpm * 1e-6), epoch_(epoch) {}

    // service = true + offset + (true - epoch) * drift, kept in 0 .. kMaxServiceTime.
    uint64_t service_time(uint64_t trueNs) const;

    // The inverse of service_time, kept in 0 .. kMaxServiceTime.
    uint64_t true_time(uint64_t serviceNs) const;

private:
    int64_t offset_;
    double drift_;
    uint64_t epoch_;
};

// Nanoseconds of CLOCK_REALTIME.
uint64_t real_time_now();

}  // namespace norvd

#endif  // NORVD_SERVICE_CLOCK_H
