// peer_clock.h: what a norvd learns of a peer from the probes it exchanges
// with it: whether the peer answers, the round trip, and where the peer's
// common clock stands against this machine's.
//
// An exchange gives four common times: t1 when this norvd sent its request,
// t2 when the request reached the peer (on the peer's clock), t3 when the peer
// sent its answer (on the peer's clock), t4 when the answer came here. Neither
// way takes less than nothing, so the offset (the peer's common clock minus
// this machine's) was at most t2 - t1 when the request arrived and at least
// t3 - t4 when the answer left, whatever the asymmetry of the two ways. The
// round trip (t4 - t1) - (t3 - t2) is the interval's width; its middle is the
// offset NTP would take, which may be wrong by up to half the round trip, so
// norvd keeps the whole interval: a verdict must be true whatever the paths.
//
// The two clocks may run apart by up to kDriftBoundPpm: an interval is widened
// by that rate for the exchange's own length, then for the time from its end
// to the moment asked about. The widened intervals of the last kSamples
// exchanges all contain the offset at that moment, so their intersection does
// too: that is what OffsetEstimate::at gives. When they do not meet, a clock
// stepped or ran apart faster than the bound, and the older ones are
// forgotten. A step of this machine's own common clock is allowed for by the
// difference between its common and base clocks that each sample keeps.
//
// No I/O and no clock reading: the peer group (parts/peer_group.h) sends and
// reads the probes and gives the times.
#ifndef NORVD_PEER_CLOCK_H
#define NORVD_PEER_CLOCK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/times.h"

namespace norvd {

// How fast two machines' common clocks may run apart, in parts per million:
// twice the 50 ppm of an ordinary undisciplined quartz, far above what NTP or
// PTP leave between disciplined clocks. A clock slewed faster (a large
// correction) breaks it for as long as the slew lasts.
constexpr int64_t kDriftBoundPpm = 100;

// How often each peer is probed.
constexpr uint64_t kProbeIntervalNs = 1'000'000'000;

// A peer is reachable while its last answer is younger than this: a peer
// that stops answering is shown unreachable after two probes unanswered, at
// most kUnreachableNs after its last answer.
constexpr uint64_t kUnreachableNs = 2'500'000'000;

// The peer's common clock minus this machine's, in ns: low <= offset <= high.
struct OffsetInterval {
    int64_t low = 0;
    int64_t high = 0;
};

// The four common times of one exchange.
struct Exchange {
    CommonTime requestSent, requestReceived, answerSent, answerReceived;  // t1 t2 t3 t4
};

// What one exchange says.
struct ClockSample {
    OffsetInterval offset;  // at the moment the answer came, widened for the exchange's length
    uint64_t roundTripNs = 0;
    BaseTime at;             // when the answer came, on this machine's base clock
    int64_t difference = 0;  // this machine's common minus base clock then
};

// The sample of an exchange whose answer came at base time `at`, while this
// machine's common clock stood `difference` from its base clock; nothing when
// its times cannot be (the answer came before the request left, the peer
// answered before it was asked, or times so far apart that they are garbage).
std::optional<ClockSample> measure(const Exchange &e, BaseTime at, int64_t difference);

// What the roundings of readings to whole ns may take from an interval.
constexpr int64_t kRoundingNs = 4;

// How much an interval grows over `ns` at kDriftBoundPpm: rounded up, plus
// kRoundingNs.
int64_t drift_allowance(uint64_t ns);

// The offset of one peer from its last exchanges.
class OffsetEstimate {
public:
    static constexpr size_t kSamples = 8;

    // Takes the sample of a new exchange. False when it does not meet the
    // ones kept (each widened to its moment): they are forgotten, and it is
    // kept alone.
    bool add(const ClockSample &s);
    // Forgets every sample.
    void clear() { count_ = 0; }

    // The interval that contains the peer's offset at base time `t`, while
    // this machine's common clock stands `difference` from its base clock;
    // nothing before the first exchange.
    std::optional<OffsetInterval> at(BaseTime t, int64_t difference) const;
    // The last exchange's sample.
    std::optional<ClockSample> last() const;

private:
    std::optional<OffsetInterval> meet(BaseTime t, int64_t difference) const;

    std::array<ClockSample, kSamples> samples_{};  // a ring, the newest at next_ - 1
    size_t next_ = 0;
    size_t count_ = 0;
};

// The probes of one peer: the reach register of the last 8 (bit k: the probe
// sent k probes ago was answered), and when the last answer came. A probe is
// known by its origin, the common time it was sent at: an answer counts once,
// for one of the last 8 probes.
class ProbeReach {
public:
    static constexpr size_t kWidth = 8;

    // A request went out with `origin`.
    void sent(CommonTime origin);
    // An answer to `origin` came at base time `at`: true when it answers one
    // of the last kWidth requests for the first time.
    bool answered(CommonTime origin, BaseTime at);

    uint8_t reach() const { return reach_; }
    uint64_t probes() const { return probes_; }
    bool reachable(BaseTime now) const { return last_ && (now < *last_ || now - *last_ < kUnreachableNs); }
    std::optional<BaseTime> last_answer() const { return last_; }

private:
    std::array<CommonTime, kWidth> origins_{};  // origins_[k]: the probe sent k probes ago
    uint8_t reach_ = 0;
    uint64_t probes_ = 0;
    std::optional<BaseTime> last_;
};

}  // namespace norvd

#endif  // NORVD_PEER_CLOCK_H
