// Verdict statistics: the error bound of the lateness quantiles, and which
// verdicts count in the last minute.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "core/registrations.h"
#include "core/verdict_stats.h"

namespace norvd {
namespace {

// The q-quantile by the nearest rank, from all the values.
int32_t exact_quantile(std::vector<int32_t> v, double q) {
    std::sort(v.begin(), v.end());
    double want = q * static_cast<double>(v.size());
    size_t rank = static_cast<size_t>(want);
    if (static_cast<double>(rank) < want) ++rank;
    return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

TEST(LatenessSketch, QuantilesWithinOneSixtyFourthOfTheirMagnitude) {
    std::mt19937 rng(17);
    auto uniform = [&](int32_t lo, int32_t hi, size_t n) {
        std::uniform_int_distribution<int32_t> d(lo, hi);
        std::vector<int32_t> v(n);
        for (auto &x : v) x = d(rng);
        return v;
    };
    auto log_uniform = [&](size_t n) {  // every octave alike, both signs
        std::uniform_real_distribution<double> e(0, 31);
        std::vector<int32_t> v(n);
        for (size_t i = 0; i < n; ++i) {
            double m = std::min(std::pow(2.0, e(rng)), 2147483647.0);
            v[i] = static_cast<int32_t>(i % 2 ? m : -m);
        }
        return v;
    };
    std::vector<int32_t> edges;  // both sides of bucket and octave edges
    for (int32_t m : {31, 32, 33, 63, 64, 65, 95, 96, 1023, 1024, 1025, 1 << 30, (1 << 30) + 1, INT32_MAX - 1,
                      INT32_MAX}) {
        edges.push_back(m);
        edges.push_back(-m);
    }
    struct Case {
        const char *what;
        std::vector<int32_t> values;
    } cases[] = {
        {"one zero", {0}},
        {"small values, each exact", uniform(-31, 31, 1000)},
        {"one large value", {123'456'789}},
        {"margins of a minute and 5 ms late", {-59'999'999, -59'999'999, -59'999'999, 5000, 5000}},
        {"all of the range", uniform(-INT32_MAX, INT32_MAX, 5000)},
        {"timely by up to 2 ms", uniform(-2000, 0, 5000)},
        {"late by up to 50 ms", uniform(1, 50'000, 5000)},
        {"every octave", log_uniform(5000)},
        {"bucket edges", edges},
        {"lone values at a bucket's lower edge", {-1024, 1024}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LatenessSketch<uint64_t> s;
        int64_t sum = 0;
        for (int32_t v : c.values) {
            s.add(v);
            sum += v;
        }
        EXPECT_EQ(s.count(), c.values.size());
        EXPECT_EQ(s.sum_us(), sum);
        EXPECT_EQ(s.min(), *std::min_element(c.values.begin(), c.values.end()));
        EXPECT_EQ(s.max(), *std::max_element(c.values.begin(), c.values.end()));
        for (double q : {0.001, 0.25, 0.5, 0.9, 0.99, 1.0}) {
            SCOPED_TRACE(q);
            int64_t exact = exact_quantile(c.values, q);
            int64_t got = *s.quantile(q);
            EXPECT_LE(64 * std::abs(got - exact), std::abs(exact)) << "exact " << exact << ", read " << got;
            EXPECT_GE(got, *s.min());
            EXPECT_LE(got, *s.max());
        }
    }
    EXPECT_FALSE(LatenessSketch<uint32_t>().quantile(0.5));
}

TEST(LatenessSketch, MergedStepsReadAsOne) {
    std::vector<int32_t> all;
    LatenessSketch<uint32_t> a, b;
    LatenessSketch<uint64_t> merged;
    for (int32_t v = -5000; v <= 5000; v += 7) {
        (v % 2 ? a : b).add(v * 1000);
        all.push_back(v * 1000);
    }
    merged.merge(a);
    merged.merge(b);
    EXPECT_EQ(merged.count(), all.size());
    EXPECT_EQ(merged.max(), *std::max_element(all.begin(), all.end()));
    int64_t exact = exact_quantile(all, 0.99), got = *merged.quantile(0.99);
    EXPECT_LE(64 * std::abs(got - exact), std::abs(exact));
}

FailureNotice notice(std::initializer_list<MachineVerdict> verdicts) {
    FailureNotice n{};
    size_t i = 0;
    for (const MachineVerdict &v : verdicts) n.verdicts[i++] = v;
    for (; i < MAX_MACHINES; ++i) n.verdicts[i].status = kNothingToReport;
    return n;
}

constexpr MachineVerdict kTimelyBy(int32_t us) { return {kTimely, 1, {0, 0}, -us}; }
constexpr MachineVerdict kLateBy(int32_t us) { return {kTimingFailure, 1, {0, 0}, us}; }
constexpr MachineVerdict kMissing{kTimingFailure, 0, {0, 0}, 0};
constexpr MachineVerdict kNotAsked{kNothingToReport, 0, {0, 0}, 0};

TEST(VerdictStats, CountsEachKindOnItsMachine) {
    constexpr BaseTime kStart{1'000'000'000'000};
    VerdictStats stats(0x07, kStart);  // machines 0 to 2
    // Undecidable by the clocks: machine 1's late verdict, machine 2's
    // missing one (it has no lateness to decide: not counted) and machine 0's
    // timely one of the second notice.
    stats.count(notice({kTimelyBy(100), kLateBy(300), kMissing}), 0x06, kStart + 1);
    stats.count(notice({kTimelyBy(200), kNotAsked, kLateBy(7)}), 0x01, kStart + 2);
    stats.count(notice({kNotAsked, kNotAsked, kNotAsked, kLateBy(9)}), 0x08, kStart + 3);  // machine 3: not in the group
    struct Row {
        uint8_t machine;
        uint64_t timely, late, unknown, undecidable, withLateness;
        std::optional<int32_t> max;
    } rows[] = {
        {0, 2, 0, 0, 1, 2, -100},
        {1, 0, 1, 0, 1, 1, 300},
        {2, 0, 1, 1, 0, 1, 7},
        {3, 0, 0, 0, 0, 0, std::nullopt},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(int{r.machine});
        MachineVerdicts m = stats.machine(r.machine, kStart + 4);
        EXPECT_EQ(m.sinceStart.timely, r.timely);
        EXPECT_EQ(m.sinceStart.late, r.late);
        EXPECT_EQ(m.sinceStart.unknown, r.unknown);
        EXPECT_EQ(m.sinceStart.undecidable, r.undecidable);
        EXPECT_EQ(m.lastMinute.undecidable, r.undecidable);
        EXPECT_EQ(m.sinceStartLateness.count, r.withLateness);
        EXPECT_EQ(m.sinceStartLateness.max, r.max);
        EXPECT_EQ(m.lastMinute.timely, r.timely);
        EXPECT_EQ(m.lastMinuteLateness.max, r.max);
    }
}

TEST(VerdictStats, TheLastMinuteIsTheCurrentStepAndTheSixBefore) {
    constexpr BaseTime kStart{5'000'000'000};
    constexpr uint64_t kS = 1'000'000'000;
    VerdictStats stats(0x01, kStart);
    // In time order: a late verdict (its lateness) or none at `at` seconds
    // since start, then what is shown at that moment.
    struct Row {
        uint64_t at;
        std::optional<int32_t> late;
        uint64_t lastMinute, sinceStart;
        std::optional<int32_t> lastMax;
    } rows[] = {
        {0, 1, 1, 1, 1},                         // step 0
        {9, 10, 2, 2, 10},
        {10, 11, 3, 3, 11},                      // step 1
        {35, 36, 4, 4, 36},
        {69, 70, 5, 5, 70},                      // step 6: steps 0 to 6
        {70, 71, 4, 6, 71},                      // step 7: steps 1 to 7, step 0 is out
        {79, std::nullopt, 4, 6, 71},
        {125, 126, 3, 7, 126},                   // step 12: steps 6 to 12
        {199, std::nullopt, 0, 7, std::nullopt},  // step 19: none since step 13
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.at);
        if (r.late) stats.count(notice({kLateBy(*r.late)}), 0, kStart + r.at * kS);
        MachineVerdicts m = stats.machine(0, kStart + r.at * kS);
        EXPECT_EQ(m.lastMinute.late, r.lastMinute);
        EXPECT_EQ(m.lastMinuteLateness.count, r.lastMinute);
        EXPECT_EQ(m.lastMinuteLateness.max, r.lastMax);
        EXPECT_EQ(m.sinceStart.late, r.sinceStart);
        EXPECT_EQ(m.sinceStartLateness.count, r.sinceStart);
    }
}

}  // namespace
}  // namespace norvd
