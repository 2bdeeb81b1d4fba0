// What the probes tell of a peer: offset intervals that hold the true offset
// whatever the paths and the drift, and the reach of the probes.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "core/peer_clock.h"

namespace norvd {
namespace {

constexpr uint64_t kT = 1'700'000'000'000'000'000;  // a common time
constexpr uint64_t kMs = 1'000'000;

Exchange exchange(uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4) {
    return {CommonTime(t1), CommonTime(t2), CommonTime(t3), CommonTime(t4)};
}

TEST(PeerClock, AnExchangeBoundsTheOffsetWhateverThePaths) {
    struct Row {
        const char *what;
        int64_t offset;    // the peer's clock minus ours
        uint64_t out, in;  // the two ways' delays
        uint64_t held;     // between the request's arrival and the answer
    } rows[] = {
        {"same clocks, same ways", 0, 100'000, 100'000, 5'000},
        {"peer ahead, slow way out", 5 * kMs, 3 * kMs, 200'000, 0},
        {"peer behind, slow way back", -7 * static_cast<int64_t>(kMs), 50'000, 4 * kMs, 1'000'000},
        {"instant ways", 123, 0, 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        uint64_t t1 = kT, t2 = t1 + r.out + r.offset, t3 = t2 + r.held, t4 = t3 - r.offset + r.in;
        auto s = measure(exchange(t1, t2, t3, t4), BaseTime(9), 0);
        ASSERT_TRUE(s);
        int64_t grow = drift_allowance(t4 - t1);
        EXPECT_EQ(s->roundTripNs, r.out + r.in);
        // Exactly the two one-way bounds, each widened for the exchange's length.
        EXPECT_EQ(s->offset.low, r.offset - static_cast<int64_t>(r.in) - grow);
        EXPECT_EQ(s->offset.high, r.offset + static_cast<int64_t>(r.out) + grow);
        EXPECT_EQ(s->at, BaseTime(9));
    }
    // Times that cannot be: the answer before the request, an answer sent
    // before its request arrived, the peer holding it longer than the round
    // trip by more than its drift, garbage far apart.
    EXPECT_FALSE(measure(exchange(kT, kT + 10, kT + 20, kT - 1), BaseTime(), 0));
    EXPECT_FALSE(measure(exchange(kT, kT + 10, kT + 9, kT + 30), BaseTime(), 0));
    EXPECT_FALSE(measure(exchange(kT, kT + 10, kT + 100, kT + 50), BaseTime(), 0));
    const uint64_t far = uint64_t{1} << 62;
    EXPECT_FALSE(measure(exchange(far, 1, 2, far + 50), BaseTime(), 0));
}

TEST(PeerClock, DriftAllowanceRoundsUp) {
    EXPECT_EQ(drift_allowance(0), kRoundingNs);
    EXPECT_EQ(drift_allowance(1), 1 + kRoundingNs);  // a part of a ns counts whole
    EXPECT_EQ(drift_allowance(10'000), 1 + kRoundingNs);
    EXPECT_EQ(drift_allowance(10'001), 2 + kRoundingNs);
    EXPECT_EQ(drift_allowance(1'000'000'000), kDriftBoundPpm * 1000 + kRoundingNs);
    EXPECT_EQ(drift_allowance(UINT64_MAX), 18'446'744'073'709 * kDriftBoundPpm + 56 + kRoundingNs);  // no wrap
}

ClockSample sample(int64_t low, int64_t high, uint64_t atNs, int64_t difference = 0) {
    return ClockSample{{low, high}, static_cast<uint64_t>(high - low), BaseTime(atNs), difference};
}

TEST(PeerClock, TheEstimateMeetsTheSamplesWidenedToTheMoment) {
    OffsetEstimate e;
    EXPECT_FALSE(e.at(BaseTime(1), 0));
    const uint64_t s = 1'000'000'000;
    const int64_t perSecond = drift_allowance(s);
    EXPECT_TRUE(e.add(sample(-100'000, 300'000, 10 * s)));
    EXPECT_TRUE(e.add(sample(50'000, 900'000, 11 * s)));
    struct Row {
        const char *what;
        uint64_t at;
        int64_t difference;
        int64_t low, high;
    } rows[] = {
        // At 11 s: the first widened by a second, the second as it is.
        {"at the second", 11 * s, 0, 50'000 - kRoundingNs, 300'000 + perSecond},
        {"a second later", 12 * s, 0, 50'000 - perSecond, 300'000 + drift_allowance(2 * s)},
        {"between them", 10 * s + s / 2, 0, 50'000 - drift_allowance(s / 2), 300'000 + drift_allowance(s / 2)},
        // This machine's common clock stepped 1 ms ahead: the peer stands 1 ms less ahead of it.
        {"after a step here", 11 * s, 1'000'000, 50'000 - kRoundingNs - 1'000'000, 300'000 + perSecond - 1'000'000},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        auto i = e.at(BaseTime(r.at), r.difference);
        ASSERT_TRUE(i);
        EXPECT_EQ(i->low, r.low);
        EXPECT_EQ(i->high, r.high);
    }
    // A sample that the others exclude (the peer's clock stepped): only it stays.
    EXPECT_FALSE(e.add(sample(5'000'000, 5'400'000, 12 * s)));
    auto i = e.at(BaseTime(12 * s), 0);
    ASSERT_TRUE(i);
    EXPECT_EQ(i->low, 5'000'000 - drift_allowance(0));
    EXPECT_EQ(i->high, 5'400'000 + drift_allowance(0));
    EXPECT_EQ(e.last()->offset.low, 5'000'000);
}

// Two clocks that run apart at up to the bound, exchanges over paths of any
// delay, asked about at any moment: the interval holds the true offset, to
// the nanosecond, every time.
TEST(PeerClock, IntervalsHoldTheTrueOffsetUnderDriftAndRandomPaths) {
    std::mt19937_64 rng(20261209);
    for (int run = 0; run < 200; ++run) {
        SCOPED_TRACE(run);
        // The peer's clock at true time t (ns since the run's start):
        // t + offset0 + rate * t, read to the ns below; ours reads t.
        double rate = std::uniform_real_distribution<double>(run % 2 ? 0.9 : -1.0, 1.0)(rng) * kDriftBoundPpm * 1e-6;
        int64_t offset0 = std::uniform_int_distribution<int64_t>(-50 * int64_t{kMs}, 50 * int64_t{kMs})(rng);
        auto peer = [&](uint64_t t) {
            return kT + t + offset0 + static_cast<int64_t>(std::floor(rate * static_cast<double>(t)));
        };
        auto truth = [&](uint64_t t) { return static_cast<int64_t>(peer(t) - (kT + t)); };
        std::uniform_int_distribution<uint64_t> delay(0, 5 * kMs), pause(0, 20'000);
        OffsetEstimate e;
        uint64_t t = 0;
        for (int k = 0; k < 30; ++k) {
            t += 900 * kMs + delay(rng);
            // A way of no delay now and then puts the truth right at an end.
            auto way = [&] { return rng() % 4 == 0 ? 0 : delay(rng); };
            uint64_t t1 = t, a2 = t1 + way(), a3 = a2 + pause(rng), t4 = a3 + way();
            auto s = measure(exchange(kT + t1, peer(a2), peer(a3), kT + t4), BaseTime(t4), 0);
            ASSERT_TRUE(s);
            ASSERT_LE(s->offset.low, truth(t4));
            ASSERT_GE(s->offset.high, truth(t4));
            e.add(*s);
            for (uint64_t ask : {t4, t4 + delay(rng), t4 + 1'500 * kMs, t1 > kMs ? t1 - kMs : 0}) {
                auto i = e.at(BaseTime(ask), 0);
                ASSERT_TRUE(i);
                ASSERT_LE(i->low, truth(ask)) << ask;
                ASSERT_GE(i->high, truth(ask)) << ask;
            }
            t = t4;
        }
    }
}

TEST(PeerClock, ReachCountsEachOfTheLastEightProbesOnce) {
    ProbeReach r;
    const uint64_t s = 1'000'000'000;
    EXPECT_FALSE(r.reachable(BaseTime(0)));
    EXPECT_FALSE(r.answered(CommonTime(1), BaseTime(1)));  // nothing was asked
    struct Step {
        const char *what;
        bool send;      // a request goes out with origin `origin`, or an answer to it comes
        uint64_t origin;
        uint64_t at;    // s
        bool counted;   // the answer counts
        uint8_t reach;  // after the step
    } steps[] = {
        {"a first request", true, 100, 0, false, 0b0},
        {"its answer", false, 100, 0, true, 0b1},
        {"the answer again", false, 100, 0, false, 0b1},
        {"a second request", true, 200, 1, false, 0b10},
        {"an answer to none", false, 150, 1, false, 0b10},
        {"a third request", true, 300, 2, false, 0b100},
        {"the second's answer, late", false, 200, 2, true, 0b110},
    };
    for (const Step &st : steps) {
        SCOPED_TRACE(st.what);
        if (st.send)
            r.sent(CommonTime(st.origin));
        else
            EXPECT_EQ(r.answered(CommonTime(st.origin), BaseTime(st.at * s)), st.counted);
        EXPECT_EQ(r.reach(), st.reach);
    }
    EXPECT_EQ(r.probes(), 3u);
    EXPECT_EQ(r.last_answer(), BaseTime(2 * s));
    EXPECT_TRUE(r.reachable(BaseTime(2 * s + kUnreachableNs - 1)));
    EXPECT_FALSE(r.reachable(BaseTime(2 * s + kUnreachableNs)));
    // Eight requests later the first is forgotten: its answer no longer counts.
    for (uint64_t k = 0; k < 8; ++k) r.sent(CommonTime(1000 + k));
    EXPECT_EQ(r.reach(), 0);
    EXPECT_FALSE(r.answered(CommonTime(300), BaseTime(3 * s)));
    EXPECT_TRUE(r.answered(CommonTime(1000), BaseTime(3 * s)));
    EXPECT_EQ(r.reach(), 0b10000000);
}

}  // namespace
}  // namespace norvd
