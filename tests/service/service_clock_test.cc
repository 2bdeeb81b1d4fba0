// The clock norvd gives its clients: offset, drift, inverse and its log line.
#include <gtest/gtest.h>

#include "core/service_clock.h"

namespace norvd {
namespace {

constexpr uint64_t kNow = 1'700'000'000'000'000'000;  // a true time

TEST(ServiceClock, OffsetDriftAndInverse) {
    const uint64_t epoch = kNow;
    struct Case {
        int64_t offset;
        double ppm;
        uint64_t at;
        uint64_t expected;
    } cases[] = {
        {0, 0, kNow, kNow},
        {-1000, 0, kNow, kNow - 1000},
        {0, 100, kNow + 1'000'000'000, kNow + 1'000'000'000 + 100'000},  // 100 ppm of 1 s
        {0, -50, kNow + 2'000'000'000, kNow + 2'000'000'000 - 100'000},
        {3'000, 10, kNow + 1'000'000, kNow + 1'000'000 + 3'000 + 10},
    };
    for (const Case &c : cases) {
        ServiceClock clock(c.offset, c.ppm, BaseTime(epoch));
        EXPECT_EQ(clock.service_time(BaseTime(c.at)), ServiceTime(c.expected));
        EXPECT_NEAR(static_cast<double>(clock.base_time(ServiceTime(c.expected)).ns), static_cast<double>(c.at), 1.0);
    }
    // Far from the epoch the inverse keeps every nanosecond.
    EXPECT_EQ(ServiceClock(0, 0).base_time(ServiceTime(kNow + 1)), BaseTime(kNow + 1));
    EXPECT_EQ(ServiceClock(-7, 0).base_time(ServiceTime(kNow)), BaseTime(kNow + 7));
    // Never the top bit, never a wrap below zero.
    EXPECT_EQ(ServiceClock(INT64_MAX, 0).service_time(BaseTime(kNow)), ServiceTime(kMaxServiceTime));
    EXPECT_EQ(ServiceClock(INT64_MIN, 0).service_time(BaseTime(kNow)), ServiceTime(0));
    EXPECT_EQ(ServiceClock(0, 0).service_time(BaseTime(UINT64_MAX)), ServiceTime(kMaxServiceTime));
    EXPECT_EQ(ServiceClock(-5, 0).base_time(ServiceTime(UINT64_MAX)), BaseTime(kMaxServiceTime));
    EXPECT_EQ(ServiceClock(5, 0).base_time(ServiceTime(0)), BaseTime(0));
    // The log line from which others map stamps: every value exactly, the
    // drift in the fewest digits that read back as the same double.
    EXPECT_EQ(ServiceClock(-2'000'000'000, 4.5, BaseTime(123)).describe("CLOCK_BOOTTIME"),
              "base CLOCK_BOOTTIME, offset -2000000000 ns, drift 4.5 ppm, origin 123 ns");
    EXPECT_EQ(ServiceClock(0, 0.1, BaseTime(kNow)).describe("B"),
              "base B, offset 0 ns, drift 0.1 ppm, origin 1700000000000000000 ns");
    EXPECT_EQ(ServiceClock(0, -1.0 / 3).describe("B"), "base B, offset 0 ns, drift -0.3333333333333333 ppm, origin 0 ns");
}

}  // namespace
}  // namespace norvd
