// estimation_test.cc: the peer timing table and the delay bound,
// table-driven over the edge cases of the arithmetic and of the bound's rules
// (no echo, an interval cut at zero, saturation).
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "estimation.h"
#include "norv.h"

namespace {

using norv::estimation::centre_at_zero;
using norv::estimation::to_double;
using norv::estimation::to_u64;

constexpr uint64_t kUnknown = UNKNOWN_DELAY_ERROR;
constexpr uint64_t kNoBound = UINT64_MAX;
constexpr uint64_t k2p63 = uint64_t{1} << 63;
constexpr uint8_t kSender = 1;

// ---- Conversions ---------------------------------------------------------------

TEST(Conversion, U64EntersByItsUnsignedValueRoundedToNearest) {
    EXPECT_EQ(to_double(0), 0.0);
    EXPECT_EQ(to_double(1), 1.0);
    EXPECT_EQ(to_double(k2p63), 9223372036854775808.0);  // stays positive
    EXPECT_EQ(to_double(UINT64_MAX), 18446744073709551616.0);
    // Above 2^53 doubles are 2 apart: 2^53 + 1 is a tie and goes to even.
    EXPECT_EQ(to_double((uint64_t{1} << 53) + 1), 9007199254740992.0);
    EXPECT_EQ(to_double((uint64_t{1} << 53) + 3), 9007199254740996.0);
    // Just above a tie rounds up: the low half is not lost.
    EXPECT_EQ(to_double(k2p63 + 1024 + 1), 9223372036854777856.0);
    EXPECT_EQ(to_double(k2p63 + 1024), 9223372036854775808.0);
}

TEST(Conversion, DoubleGoesBackByTruncationWithSaturation) {
    EXPECT_EQ(to_u64(0.0), 0u);
    EXPECT_EQ(to_u64(-0.0), 0u);
    EXPECT_EQ(to_u64(-1.0), 0u);
    EXPECT_EQ(to_u64(-1e300), 0u);
    EXPECT_EQ(to_u64(-std::numeric_limits<double>::infinity()), 0u);
    EXPECT_EQ(to_u64(std::numeric_limits<double>::quiet_NaN()), 0u);
    EXPECT_EQ(to_u64(0.9999), 0u);
    EXPECT_EQ(to_u64(1.9999), 1u);
    EXPECT_EQ(to_u64(4.999995), 4u);
    EXPECT_EQ(to_u64(9223372036854775808.0), k2p63);
    // The largest double below 2^64 converts exactly.
    EXPECT_EQ(to_u64(18446744073709549568.0), UINT64_C(18446744073709549568));
    EXPECT_EQ(to_u64(18446744073709551616.0), UINT64_MAX);  // 2^64
    EXPECT_EQ(to_u64(1e30), UINT64_MAX);
    EXPECT_EQ(to_u64(std::numeric_limits<double>::infinity()), UINT64_MAX);
}

TEST(Conversion, CentreAtZero) {
    struct {
        uint64_t d, r, want;
    } cases[] = {
        {100, 100, 100},                  // D equal to R: unchanged
        {99, 100, 99},                    // floor(199 / 2)
        {0, 1, 0},
        {0, 0, 0},
        {uint64_t(-100), 300, 100},       // negative D enters as -100
        {uint64_t(-101), 300, 99},
        {uint64_t(-100), 100, 0},         // sum exactly 0
        {uint64_t(-100), 50, 0},          // sum negative
        {k2p63, UINT64_MAX, (k2p63 - 1) / 2},  // most negative D
        // D + R above 2^64: the carry is kept, not wrapped away.
        {k2p63 - 1, k2p63 + (uint64_t{1} << 40), k2p63 + (uint64_t{1} << 39) - 1},
        {k2p63 - 1, UINT64_MAX, UINT64_C(0xBFFFFFFFFFFFFFFF)},
    };
    for (const auto &c : cases) {
        uint64_t d = c.d, r = c.r;
        centre_at_zero(&d, &r);
        EXPECT_EQ(d, c.want) << c.d << " " << c.r;
        EXPECT_EQ(r, c.want) << c.d << " " << c.r;
    }
    // D not below R (and not negative) is left alone.
    uint64_t d = 5000, r = 10;
    centre_at_zero(&d, &r);
    EXPECT_EQ(d, 5000u);
    EXPECT_EQ(r, 10u);
}

// ---- init_session ---------------------------------------------------------------

TEST(InitSession, EmptiesEverySlotAndKeepsSocketAndServerId) {
    TimedSocket s;
    std::memset(&s, 0xAB, sizeof s);
    s.udpSocket = 17;
    s.serverId = -42;
    init_session(&s, 3);
    for (const PeerTiming &p : s.peers) {
        EXPECT_EQ(p.recvTime, 0u);
        EXPECT_EQ(p.sendStamp, 0u);
        EXPECT_EQ(p.delayEstimate, 0u);
        EXPECT_EQ(p.delayError, kUnknown);
    }
    EXPECT_EQ(s.localId, 3);
    EXPECT_EQ(s.requestFd, 0);
    EXPECT_EQ(s.udpSocket, 17);
    EXPECT_EQ(s.serverId, -42);
}

// ---- putReceiveInfo ---------------------------------------------------------------

struct Case {
    const char *name;
    PeerTiming before;  // {recvTime, sendStamp, delayError, delayEstimate}
    uint64_t now, age, sendStamp, echoStamp, echoEstimate, echoError, elapsed;
    PeerTiming after;
    uint64_t estimateOut, errorOut;
};

constexpr PeerTiming kEmpty = {0, 0, kUnknown, 0};
constexpr PeerTiming kRef = {5000, 777, 40, 30};

// Outputs checked by hand against the formulas (and cross-checked with
// an independent double-precision computation).
const Case kCases[] = {
    // Path A: no echo.
    {"A first datagram fills the empty slot", kEmpty, 5000, 0, 777, 0, 0, 0, 0,
     {5000, 777, kUnknown, 0}, 0, kNoBound},
    {"A echo sendStamp 0 is no echo whatever the rest holds", kEmpty, 5000, 123, 777, 0, 456,
     789, 1000, {5000, 777, kUnknown, 0}, 0, kNoBound},
    {"A both differences 0 keep the reference (b == a)", kRef, 5000, 0, 777, 0, 0, 0, 0, kRef, 0,
     kNoBound},
    {"A faster datagram replaces (a 1000.005, b 998.995)", kRef, 5999, 0, 1777, 0, 0, 0, 0,
     {5999, 1777, kUnknown, 0}, 0, kNoBound},
    {"A equal differences replace: drift widens a, narrows b", kRef, 6000, 0, 1777, 0, 0, 0, 0,
     {6000, 1777, kUnknown, 0}, 0, kNoBound},
    {"A slower datagram keeps", kRef, 6001, 0, 1777, 0, 0, 0, 0, kRef, 0, kNoBound},
    {"A b 1000004.99995 below a 1000005 replaces", kRef, 5000 + 1000010, 0, 777 + 1000000, 0, 0,
     0, 0, {1005010, 1000777, kUnknown, 0}, 0, kNoBound},
    {"A b 1000005.999945 above a keeps", kRef, 5000 + 1000011, 0, 777 + 1000000, 0, 0, 0, 0,
     kRef, 0, kNoBound},
    {"A overtaken datagram: wrapped sender difference replaces", {5000, 10000, 40, 30}, 6000, 0,
     9000, 0, 0, 0, 0, {6000, 9000, kUnknown, 0}, 0, kNoBound},
    {"A receipt clock behind the reference: wrapped b keeps", kRef, 4000, 0, 1777, 0, 0, 0, 0,
     kRef, 0, kNoBound},

    // Path B: echo present.
    {"B unknown echo error gives M (T 4000, age 2000: M 1000)", kEmpty, 14000, 2000, 999, 10000, 0,
     kUnknown, 50, {14000, 999, 1000, 1000}, 1050, 1000},
    {"B direct pair chosen", kEmpty, 20000, 2000, 600, 10000, 3000, 10, 1000,
     {20000, 600, 10, 5000}, 6000, 10},
    {"B D equal to R is not averaged", kEmpty, 11000, 0, 600, 10000, 900, 100, 0,
     {11000, 600, 100, 100}, 100, 100},
    {"B D one below R is averaged", kEmpty, 11000, 0, 600, 10000, 901, 100, 0,
     {11000, 600, 99, 99}, 99, 99},
    {"B negative D is cut at zero, not compared wrapped", kEmpty, 11000, 0, 600, 10000, 1100, 300,
     0, {11000, 600, 100, 100}, 100, 100},
    {"B negative D with an odd sum rounds down", kEmpty, 11000, 0, 600, 10000, 1101, 300, 0,
     {11000, 600, 99, 99}, 99, 99},
    {"B negative D beyond R gives (0, 0)", kEmpty, 11000, 0, 600, 10000, 1100, 50, 1000000,
     {11000, 600, 0, 0}, 1000000, 5},
    {"B R equal to M takes the direct pair", kEmpty, 11000, 0, 600, 10000, 400, 500, 0,
     {11000, 600, 500, 600}, 600, 500},
    {"B R one above M takes M", kEmpty, 11000, 0, 600, 10000, 400, 501, 0,
     {11000, 600, 500, 500}, 500, 500},
    {"B age beyond the round trip gives M 0; outputs elapsed and elapsed x rho", kEmpty, 11000,
     1100, 600, 10000, 0, 0, 999999, {11000, 600, 0, 0}, 999999, 4},
    {"B wrapped round trip; D + R above 2^64 summed exactly", kEmpty, 5, 0, 600, 6, k2p63,
     UINT64_C(9223280902646035036), 0,
     {5, 600, UINT64_C(0x8000007FFFFFFFFF), UINT64_C(0x8000007FFFFFFFFF)},
     UINT64_C(0x8000007FFFFFFFFF), UINT64_C(9223372586610589696)},
    {"B elapsed 0: an error above 2^53 comes out rounded", kEmpty, 5, 0, 600, 6,
     UINT64_MAX - 6, UINT64_C(17922164789113436), 0,
     {5, 600, (uint64_t{1} << 53) + 3, (uint64_t{1} << 53) + 3}, (uint64_t{1} << 53) + 3,
     (uint64_t{1} << 53) + 4},
    {"B echoed error near 2^64 saturates R, so M is chosen", kEmpty, 14000, 2000, 999, 10000, 0,
     UINT64_MAX, 0, {14000, 999, 1000, 1000}, 1000, 1000},
    {"B better datagram replaces the reference", {10000, 500, 100, 7}, 20000, 2000, 600, 10000,
     3000, 10, 0, {20000, 600, 10, 5000}, 5000, 10},
    {"B kept reference; outputs are the datagram's own", {19990, 600, 5, 7}, 20000, 2000, 600,
     10000, 3000, 10, 1000, {19990, 600, 5, 7}, 6000, 10},
    {"B aged error equal to the new error keeps", {20000, 600, 10, 7}, 20000, 2000, 600, 10000,
     3000, 10, 0, {20000, 600, 10, 7}, 5000, 10},
    {"B aged error 10.000005 above 10 replaces", {19999, 600, 10, 7}, 20000, 2000, 600, 10000,
     3000, 10, 0, {20000, 600, 10, 5000}, 5000, 10},
    {"B holding time counts in R: (10 + 5) + 4", kEmpty, 1010000, 800000, 600, 10000, 100000, 10,
     0, {1010000, 600, 19, 100000}, 100000, 19},
    {"B aged error 10.000005 from the sender's difference replaces", {20000, 599, 10, 7}, 20000,
     2000, 600, 10000, 3000, 10, 0, {20000, 600, 10, 5000}, 5000, 10},
    {"B overtaken datagram: g grows by ~9.2e13 and it replaces", {20000, 700, 10, 7}, 20000, 2000,
     600, 10000, 3000, 10, 0, {20000, 600, 10, 5000}, 5000, 10},
    {"B overtaken datagram with an error above the aged g keeps",
     {199999999999000 + 1000, 700, 10, 7}, 1000 + 200000000000000, 0, 600, 1000, 0, kUnknown, 0,
     {200000000000000, 700, 10, 7}, 100000500000000, 100000500000000},
    {"B elapsed wraps the estimate sum", kEmpty, 20000, 2000, 600, 10000, 3000, 10,
     UINT64_MAX - 999, {20000, 600, 10, 5000}, 4000, 92233720368557},
};

bool same(const PeerTiming &a, const PeerTiming &b) {
    return a.recvTime == b.recvTime && a.sendStamp == b.sendStamp &&
           a.delayError == b.delayError && a.delayEstimate == b.delayEstimate;
}

std::string show(const PeerTiming &p) {
    return "{" + std::to_string(p.recvTime) + ", " + std::to_string(p.sendStamp) + ", " +
           std::to_string(p.delayError) + ", " + std::to_string(p.delayEstimate) + "}";
}

TEST(PutReceiveInfo, Table) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        TimedSocket s;
        init_session(&s, 0);
        s.requestFd = 9;
        s.udpSocket = 8;
        s.serverId = 7;
        // Other slots hold recognisable values that must survive.
        for (int i = 0; i < MAX_MACHINES; ++i) s.peers[i] = PeerTiming{uint64_t(i) + 1, 2, 3, 4};
        s.peers[kSender] = c.before;
        uint64_t est = 0xDEAD, err = 0xBEEF;
        putReceiveInfo(&s, c.now, c.age, c.sendStamp, c.echoStamp, kSender, c.echoEstimate,
                       c.echoError, c.elapsed, &est, &err);
        EXPECT_TRUE(same(s.peers[kSender], c.after))
            << show(s.peers[kSender]) << " want " << show(c.after);
        EXPECT_EQ(est, c.estimateOut);
        EXPECT_EQ(err, c.errorOut);
        for (int i = 0; i < MAX_MACHINES; ++i) {
            if (i == kSender) continue;
            EXPECT_TRUE(same(s.peers[i], PeerTiming{uint64_t(i) + 1, 2, 3, 4})) << i;
        }
        EXPECT_EQ(s.localId, 0);
        EXPECT_EQ(s.requestFd, 9);
        EXPECT_EQ(s.udpSocket, 8);
        EXPECT_EQ(s.serverId, 7);
    }
}

TEST(PutReceiveInfo, UnknownEchoErrorGivesMForRoundTripsBelow2p56) {
    for (uint64_t T : {uint64_t{2}, uint64_t{4000}, uint64_t{123456789},
                       (uint64_t{1} << 56) - 1}) {
        TimedSocket s;
        init_session(&s, 0);
        uint64_t age = T / 2, est, err;
        putReceiveInfo(&s, 1000 + T, age, 1, 1000, 2, 0, kUnknown, 0, &est, &err);
        uint64_t M = to_u64((to_double(T) * 1.000005 - to_double(age) * 0.999995) / 2.0);
        EXPECT_EQ(est, M) << T;
        EXPECT_EQ(err, M) << T;
    }
}

TEST(PutReceiveInfo, SenderIdOutsideTheTableWritesNothingOutsidePeers) {
    struct Guarded {
        uint64_t before[4];
        TimedSocket s;
        uint64_t after[4];
    } g;
    std::memset(&g, 0x5A, sizeof g);
    init_session(&g.s, 1);
    Guarded copy;
    std::memcpy(&copy, &g, sizeof g);
    for (uint8_t id : {uint8_t{5}, uint8_t{6}, uint8_t{255}}) {
        for (uint64_t echo : {uint64_t{0}, uint64_t{10000}}) {
            uint64_t est = 1, err = 2;
            putReceiveInfo(&g.s, 20000, 2000, 600, echo, id, 3000, 10, 1000, &est, &err);
            EXPECT_EQ(std::memcmp(&g, &copy, sizeof g), 0) << int(id);
            EXPECT_EQ(est, 0u);
            EXPECT_EQ(err, kNoBound);
        }
    }
}

TEST(PutReceiveInfo, FirstDatagramsFillTheirOwnSlotsOnly) {
    TimedSocket s;
    init_session(&s, 0);
    uint64_t est, err;
    for (uint8_t id = 0; id < MAX_MACHINES; ++id)
        putReceiveInfo(&s, 1000 + id, 0, 50 + id, 0, id, 0, 0, 0, &est, &err);
    for (uint8_t id = 0; id < MAX_MACHINES; ++id) {
        EXPECT_TRUE(same(s.peers[id], PeerTiming{1000u + id, 50u + id, kUnknown, 0}))
            << show(s.peers[id]);
    }
}

}  // namespace
