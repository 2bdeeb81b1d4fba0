// clock_watch.h: the two clocks norvd keeps apart, and a watch on them.
//
// The base clock is CLOCK_BOOTTIME. It never steps: NTP and PTP only slew it
// (change its rate), so a delay measured on it is a delay, whatever happens
// to the wall clock meanwhile. CLOCK_MONOTONIC never steps either, but it
// stops while the machine is suspended, so a datagram in flight across a
// suspend would seem to have taken no time; CLOCK_BOOTTIME counts that time.
// The service time that clients see (command 2, receipt stamps) is derived
// from the base clock (service_clock.h).
//
// The common time is CLOCK_REALTIME, the clock that NTP or PTP keeps in step
// across the machines of a group: receipts travel between norvds in common
// time, because base clocks of different machines have nothing in common.
// Both clocks run at the same rate (the kernel slews them together), so their
// difference only changes when the wall clock steps. The watch measures it,
// converts between the two, warns when it jumps, and reports what the kernel
// knows of the clock's synchronisation.
//
// For tests, the common time norvd reads can be shifted by an offset and a
// drift (as the service clock can, service_clock.h), so that the norvds of a
// group on one host have common clocks that disagree: every common time norvd
// takes or gives (peer messages, the kernel's arrival stamps) is the shifted
// one.
#ifndef NORVD_CLOCK_WATCH_H
#define NORVD_CLOCK_WATCH_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/service_clock.h"
#include "core/times.h"
#include "io/log.h"

namespace norvd {

constexpr const char *kBaseClockName = "CLOCK_BOOTTIME";

// The kernel's view of the clock's synchronisation (ntp_adjtime).
struct SyncState {
    bool synchronised = false;
    int64_t estimatedErrorUs = 0;
    int64_t maximumErrorUs = 0;
};

// Where the readings come from: the system's clocks, or a test's.
class ClockSource {
public:
    virtual ~ClockSource() = default;
    virtual uint64_t base_ns() = 0;    // CLOCK_BOOTTIME
    virtual uint64_t common_ns() = 0;  // CLOCK_REALTIME
    virtual SyncState sync() = 0;
};

class SystemClocks : public ClockSource {
public:
    uint64_t base_ns() override;
    uint64_t common_ns() override;
    SyncState sync() override;
};

class ClockWatch {
public:
    // Registrations pending now, named in a warning about a step.
    using Pending = std::function<std::vector<int32_t>()>;

    // group: peers are configured, so verdicts rest on synchronised clocks
    // and an unsynchronised one deserves a warning. Measures the difference
    // between the clocks once.
    ClockWatch(ClockSource &source, Log &log, bool group);

    BaseTime base_now() { return BaseTime(source_.base_ns()); }

    // Common time of a base time and back, by the last measured difference
    // and the shift; kept in 0 .. 2^63 - 1.
    CommonTime to_common(BaseTime base) const;
    BaseTime to_base(CommonTime common) const;
    // The base time of a reading of the system's common clock itself
    // (CLOCK_REALTIME, as the kernel stamps arrivals), which the shift does
    // not touch.
    BaseTime system_to_base(uint64_t realtimeNs) const;

    // Shifts the common time: common = system common + offset + drift since
    // the shift's origin (a base time), as ServiceClock computes it.
    void shift_common(const ServiceClock &shift) { shift_ = shift; }
    const ServiceClock &common_shift() const { return shift_; }

    // The common clock minus the base clock, in ns.
    int64_t difference() const { return difference_; }

    // Logs the synchronisation state; norvd does so once at start.
    void report_sync();

    // The synchronisation state as the kernel tells it now.
    SyncState sync_now() { return source_.sync(); }

    // Measures the difference again; takes it when it moved by more than
    // kStickNs (logged), and warns, naming the registrations pending, when it
    // moved by more than kStepNs: the common clock stepped. A smaller move is
    // the measurement's own noise (a reading bracketed within 1 us): the
    // kernel slews both clocks alike, so only a step moves their difference,
    // and norvd's common time keeps its distance from the base clock until
    // one comes, so that the offsets of the peers and their receipts are
    // measured on one and the same clock.
    // At most once a second also looks at the synchronisation state and logs
    // it when it changed, or when its estimated error changed by more than a
    // factor of 2 (such lines at most once a minute).
    void check(const Pending &pending);

    static constexpr int64_t kStepNs = 1'000'000;
    static constexpr int64_t kStickNs = 10'000;

    // "CLOCK_REALTIME minus CLOCK_BOOTTIME taken as D ns".
    std::string describe_difference() const;

private:
    // One measurement of the difference; false when every try was
    // interrupted for too long to trust it.
    bool measure(int64_t &difference);
    void log_sync(const SyncState &s);

    ClockSource &source_;
    Log &log_;
    bool group_;
    int64_t difference_ = 0;
    ServiceClock shift_;
    SyncState last_;
    BaseTime nextSyncLook_;
    BaseTime lastErrorLine_;
    bool errorLogged_ = false;
};

}  // namespace norvd

#endif  // NORVD_CLOCK_WATCH_H
