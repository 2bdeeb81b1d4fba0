// clock_watch.cc: the difference between the common and the base clock, and
// the kernel's view of their synchronisation.
#include "core/clock_watch.h"

#include <sys/timex.h>
#include <time.h>

#include <cinttypes>
#include <cstdio>

#include "core/saturating.h"

namespace norvd {

namespace {

constexpr uint64_t kSyncLookNs = 1'000'000'000;
constexpr uint64_t kErrorLineNs = 60'000'000'000;
// A reading of the common clock between two of the base clock that took
// longer than this (the thread was interrupted) says too little.
constexpr uint64_t kMaxBracketNs = 1000;
constexpr int kTries = 5;

uint64_t read_clock(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t clamp_time(int64_t v) { return v < 0 ? 0 : static_cast<uint64_t>(v); }

// More than a factor of 2 apart; an error of 0 counts as 1 us.
bool far_apart(int64_t a, int64_t b) {
    if (a < 1) a = 1;
    if (b < 1) b = 1;
    return a > 2 * b || b > 2 * a;
}

}  // namespace

uint64_t SystemClocks::base_ns() { return read_clock(CLOCK_BOOTTIME); }

uint64_t SystemClocks::common_ns() { return read_clock(CLOCK_REALTIME); }

SyncState SystemClocks::sync() {
    timex tx{};  // modes 0: only read
    int state = ntp_adjtime(&tx);
    SyncState s;
    s.synchronised = state != -1 && state != TIME_ERROR && !(tx.status & STA_UNSYNC);
    s.estimatedErrorUs = tx.esterror;
    s.maximumErrorUs = tx.maxerror;
    return s;
}

ClockWatch::ClockWatch(ClockSource &source, Log &log, bool group)
    : source_(source), log_(log), group_(group) {
    // At start there is no earlier value to keep: a few rounds for a
    // trustworthy one, else the best one seen.
    for (int round = 0; round < 100 && !measure(difference_); ++round) {
    }
}

bool ClockWatch::measure(int64_t &difference) {
    uint64_t best = UINT64_MAX;
    for (int i = 0; i < kTries; ++i) {
        uint64_t before = source_.base_ns();
        uint64_t common = source_.common_ns();
        uint64_t after = source_.base_ns();
        uint64_t bracket = after - before;
        if (after < before || bracket >= best) continue;
        best = bracket;
        // The common reading was taken somewhere between the two base
        // readings: take it as taken in the middle.
        difference = static_cast<int64_t>(common - (before + bracket / 2));
    }
    return best <= kMaxBracketNs;
}

CommonTime ClockWatch::to_common(BaseTime base) const {
    return CommonTime(clamp_time(sat_add(as_signed(shift_.service_time(base).ns), difference_)));
}

BaseTime ClockWatch::to_base(CommonTime common) const {
    return shift_.base_time(ServiceTime(system_to_base(common.ns).ns));
}

BaseTime ClockWatch::system_to_base(uint64_t realtimeNs) const {
    return BaseTime(clamp_time(sat_add(as_signed(realtimeNs), difference_ == INT64_MIN ? INT64_MAX : -difference_)));
}

void ClockWatch::check(const Pending &pending) {
    int64_t now;
    if (measure(now) && (now - difference_ > kStickNs || now - difference_ < -kStickNs)) {
        int64_t jump = now - difference_;
        difference_ = now;
        log_.info("common clock: " + describe_difference());
        if (jump > kStepNs || jump < -kStepNs) {
            std::string ids;
            for (int32_t id : pending()) ids += (ids.empty() ? " " : ", ") + std::to_string(id);
            char line[200];
            snprintf(line, sizeof line,
                     "the common clock (CLOCK_REALTIME) stepped by %+" PRId64
                     " ns against %s; registrations pending across the step:%s",
                     jump, kBaseClockName, ids.empty() ? " none" : "");
            log_.warning(line + ids + (ids.empty() ? "" : " (their verdicts on receipts of other "
                                                          "machines are off by up to the step)"));
        }
    }
    BaseTime base = base_now();
    if (base < nextSyncLook_) return;
    nextSyncLook_ = base + kSyncLookNs;
    SyncState s = source_.sync();
    if (s.synchronised != last_.synchronised) {
        log_sync(s);
    } else if (far_apart(s.estimatedErrorUs, last_.estimatedErrorUs) &&
               (!errorLogged_ || base - lastErrorLine_ >= kErrorLineNs)) {
        errorLogged_ = true;
        lastErrorLine_ = base;
        log_sync(s);
    }
}

std::string ClockWatch::describe_difference() const {
    return "CLOCK_REALTIME minus " + std::string(kBaseClockName) + " taken as " + std::to_string(difference_) + " ns";
}

void ClockWatch::report_sync() {
    nextSyncLook_ = base_now() + kSyncLookNs;
    log_sync(source_.sync());
}

void ClockWatch::log_sync(const SyncState &s) {
    last_ = s;
    char line[240];
    // Without peers no verdict rests on the clocks agreeing: no warning.
    bool warn = !s.synchronised && group_;
    snprintf(line, sizeof line,
             "clock: %s by the kernel's account, estimated error %" PRId64
             " us, maximum error %" PRId64 " us%s",
             s.synchronised ? "synchronised" : "not synchronised", s.estimatedErrorUs,
             s.maximumErrorUs,
             warn ? "; verdicts on other machines' receipts are only as true as the clocks agree"
                  : "");
    log_.write(warn ? Severity::kWarning : Severity::kInfo, line);
}

}  // namespace norvd
