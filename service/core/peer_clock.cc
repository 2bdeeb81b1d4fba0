// peer_clock.cc: offset intervals from exchanges, and the reach of probes.
#include "core/peer_clock.h"

#include <algorithm>

#include "core/saturating.h"

namespace norvd {

namespace {

// Common times further apart than this are garbage, not clocks: it keeps
// every sum below in range.
constexpr int64_t kFarApart = INT64_C(1) << 61;

// a - b, or nothing when the times are further apart than kFarApart.
std::optional<int64_t> apart(CommonTime a, CommonTime b) {
    if (a.ns >= (UINT64_C(1) << 63) || b.ns >= (UINT64_C(1) << 63)) return std::nullopt;
    int64_t d = static_cast<int64_t>(a.ns) - static_cast<int64_t>(b.ns);
    if (d > kFarApart || d < -kFarApart) return std::nullopt;
    return d;
}

// The interval of s at base time t, while the common clock stands
// `difference` from the base clock.
OffsetInterval widened(const ClockSample &s, BaseTime t, int64_t difference) {
    uint64_t since = t >= s.at ? t - s.at : s.at - t;
    int64_t grow = drift_allowance(since);
    // The common clock stepped by `step` since the sample: the peer's
    // offset from it moved by as much the other way.
    int64_t step = sat_sub(difference, s.difference);
    int64_t low = sat_sub(sat_sub(s.offset.low, step), grow);
    int64_t high = sat_add(sat_sub(s.offset.high, step), grow);
    return {low, high};
}

}  // namespace

int64_t drift_allowance(uint64_t ns) {
    // ns * ppm / 1e6, rounded up, without overflow for any ns; then the
    // rounding of the readings to whole ns, and of a shifted clock's drift.
    uint64_t whole = ns / 1'000'000 * static_cast<uint64_t>(kDriftBoundPpm);
    uint64_t part = (ns % 1'000'000 * static_cast<uint64_t>(kDriftBoundPpm) + 999'999) / 1'000'000;
    uint64_t grow = whole + part + kRoundingNs;
    return grow > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(grow);
}

std::optional<ClockSample> measure(const Exchange &e, BaseTime at, int64_t difference) {
    auto outbound = apart(e.requestReceived, e.requestSent);  // t2 - t1
    auto inbound = apart(e.answerSent, e.answerReceived);     // t3 - t4
    auto total = apart(e.answerReceived, e.requestSent);      // t4 - t1
    auto held = apart(e.answerSent, e.requestReceived);       // t3 - t2
    if (!outbound || !inbound || !total || !held) return std::nullopt;
    if (*total < 0 || *held < 0) return std::nullopt;
    // A peer whose clock runs faster may count a little more time holding the
    // request than passed here in all, by its drift: beyond that, the times
    // are wrong.
    int64_t grow = drift_allowance(static_cast<uint64_t>(std::max(*total, *held)));
    if (*total + grow < *held) return std::nullopt;
    ClockSample s;
    s.offset = {*inbound - grow, *outbound + grow};
    s.roundTripNs = *total > *held ? static_cast<uint64_t>(*total - *held) : 0;
    s.at = at;
    s.difference = difference;
    return s;
}

std::optional<OffsetInterval> OffsetEstimate::meet(BaseTime t, int64_t difference) const {
    if (count_ == 0) return std::nullopt;
    OffsetInterval out{INT64_MIN, INT64_MAX};
    for (size_t i = 0; i < count_; ++i) {
        OffsetInterval w = widened(samples_[(next_ + kSamples - 1 - i) % kSamples], t, difference);
        out.low = std::max(out.low, w.low);
        out.high = std::min(out.high, w.high);
    }
    if (out.low > out.high) return std::nullopt;
    return out;
}

bool OffsetEstimate::add(const ClockSample &s) {
    samples_[next_] = s;
    next_ = (next_ + 1) % kSamples;
    count_ = std::min(count_ + 1, kSamples);
    if (meet(s.at, s.difference)) return true;
    count_ = 1;
    return false;
}

std::optional<OffsetInterval> OffsetEstimate::at(BaseTime t, int64_t difference) const {
    if (count_ == 0) return std::nullopt;
    if (auto both = meet(t, difference)) return both;
    // They met at the newest sample's moment but not at t: the clocks ran
    // apart faster than the bound; the newest sample alone is the best guess.
    return widened(*last(), t, difference);
}

std::optional<ClockSample> OffsetEstimate::last() const {
    if (count_ == 0) return std::nullopt;
    return samples_[(next_ + kSamples - 1) % kSamples];
}

void ProbeReach::sent(CommonTime origin) {
    for (size_t k = kWidth - 1; k > 0; --k) origins_[k] = origins_[k - 1];
    origins_[0] = origin;
    reach_ = static_cast<uint8_t>(reach_ << 1);
    ++probes_;
}

bool ProbeReach::answered(CommonTime origin, BaseTime at) {
    for (size_t k = 0; k < kWidth && k < probes_; ++k) {
        if (origins_[k] != origin) continue;
        uint8_t bit = static_cast<uint8_t>(1u << k);
        if (reach_ & bit) return false;
        reach_ |= bit;
        if (!last_ || at > *last_) last_ = at;
        return true;
    }
    return false;
}

}  // namespace norvd
