// Pending registrations: ids, refusals, receipts and the verdicts they yield.
#include <gtest/gtest.h>

#include "core/registrations.h"
#include "support/scripted_peer.h"
#include "wire.h"

namespace norvd {
namespace {

constexpr uint64_t kGrace = 100'000'000;
constexpr BaseTime kDeadline{5'000'000'000};  // true time of the test sends' deadline
const Account kSomeone = Account::of(1000);

// A table of n places that one account may fill.
constexpr ShareLimits whole(size_t n) { return ShareLimits{n, n, 0}; }

TEST(Judge, OneMachine) {
    struct Case {
        const char *what;
        bool expected;
        std::optional<BaseTime> receipt;
        uint8_t status, known;
        int32_t lateness;
    } cases[] = {
        {"outside the set", false, kDeadline, kNothingToReport, 0, 0},
        {"missing", true, std::nullopt, kTimingFailure, 0, 0},
        {"exactly at the deadline", true, kDeadline, kTimely, 1, 0},
        {"999 ns early", true, kDeadline - 999, kTimely, 1, 0},
        {"1500 ns early", true, kDeadline - 1500, kTimely, 1, -1},
        {"2 ms early", true, kDeadline - 2'000'000, kTimely, 1, -2000},
        {"1 ns late", true, kDeadline + 1, kTimingFailure, 1, 1},
        {"1000 ns late", true, kDeadline + 1000, kTimingFailure, 1, 1},
        {"1001 ns late", true, kDeadline + 1001, kTimingFailure, 1, 2},
        {"an hour late", true, kDeadline + 3'600'000'000'000, kTimingFailure, 1, INT32_MAX},
        {"received at time 0", true, BaseTime(0), kTimely, 1, -5'000'000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MachineVerdict v = judge(c.expected, c.receipt, kDeadline);
        EXPECT_EQ(v.status, c.status);
        EXPECT_EQ(v.latenessKnown, c.known);
        EXPECT_EQ(v.lateness, c.lateness);
    }
    // Clamped, never wrapped: a receipt near time 0 before a far deadline.
    EXPECT_EQ(judge(true, BaseTime(0), BaseTime(UINT64_MAX)).lateness, -INT32_MAX);
}

TEST(Registrations, IdsArePositiveUniqueAndCarryTheMachine) {
    for (uint8_t machine = 0; machine < MAX_MACHINES; ++machine) {
        Registrations regs(machine, 0x1F, whole(1000), kGrace);
        std::set<int32_t> ids;
        for (int i = 0; i < 1000; ++i) {
            int32_t id = regs.add(1, kSomeone, 0x1F, 2'000'000, kDeadline);
            ASSERT_GT(id, 0);
            EXPECT_EQ(machine_of_id(id), machine);
            EXPECT_TRUE(ids.insert(id).second);
        }
    }
}

TEST(Registrations, Refusals) {
    Registrations regs(0, 0x03, whole(2), kGrace);  // machines 0 and 1
    EXPECT_EQ(regs.add(1, kSomeone, 0x00, 2'000'000, kDeadline), NORV_REFUSED_NO_RECEIVER);
    EXPECT_EQ(regs.add(1, kSomeone, 0x1C, 2'000'000, kDeadline), NORV_REFUSED_NO_RECEIVER);  // machines 2..4
    EXPECT_EQ(regs.add(1, kSomeone, 0x1F, 0, kDeadline), NORV_REFUSED_NO_RECEIVER);          // deadline 0
    EXPECT_GT(regs.add(1, kSomeone, 0x02, 2'000'000, kDeadline), 0);
    EXPECT_GT(regs.add(1, kSomeone, 0x1F, 2'000'000, kDeadline), 0);
    EXPECT_EQ(regs.add(1, kSomeone, 0x1F, 2'000'000, kDeadline), NORV_REFUSED_TABLE_FULL);
    EXPECT_EQ(regs.pending(), 2u);
    // A judged registration frees its place.
    regs.take_due(kDeadline + kGrace);
    EXPECT_GT(regs.add(1, kSomeone, 0x1F, 2'000'000, kDeadline), 0);
}

// A registration holds a place of its account's share, whatever its
// connection, until it is judged or its connection goes.
TEST(Registrations, SharesAreHeldUntilJudgedOrDropped) {
    const Account alice = Account::of(1000), bob = Account::of(1001), root = Account::of(0);
    Registrations regs(0, 0x01, ShareLimits{4, 2, 1}, kGrace);  // 2 a user, 3 for the users
    ASSERT_GT(regs.add(1, alice, 0x01, 1, kDeadline), 0);
    ASSERT_GT(regs.add(1, alice, 0x01, 1, kDeadline + 10), 0);
    EXPECT_EQ(regs.add(2, alice, 0x01, 1, kDeadline + 10), NORV_REFUSED_TABLE_FULL);
    ASSERT_GT(regs.add(3, bob, 0x01, 1, kDeadline + 10), 0);
    EXPECT_EQ(regs.add(3, bob, 0x01, 1, kDeadline + 10), NORV_REFUSED_TABLE_FULL);
    ASSERT_GT(regs.add(4, root, 0x01, 1, kDeadline + 10), 0);
    EXPECT_EQ(regs.refused(), 2u);

    // Her first one judged, alice registers again, on another connection.
    ASSERT_EQ(regs.take_due(kDeadline + kGrace).size(), 1u);
    EXPECT_EQ(regs.shares().held(alice), 1u);
    ASSERT_GT(regs.add(2, alice, 0x01, 1, kDeadline + 10), 0);
    EXPECT_EQ(regs.add(3, bob, 0x01, 1, kDeadline + 10), NORV_REFUSED_TABLE_FULL);
    // Connection 1 goes: its registration's place comes back, for bob too.
    EXPECT_EQ(regs.drop_connection(1), 1u);
    EXPECT_EQ(regs.shares().held(alice), 1u);
    ASSERT_GT(regs.add(3, bob, 0x01, 1, kDeadline + 10), 0);
    EXPECT_EQ(regs.shares().held(), regs.pending());
    // Every one judged: nothing is held.
    regs.take_due(kDeadline + 10 + kGrace);
    EXPECT_EQ(regs.shares().held(), 0u);
    EXPECT_EQ(regs.shares().held_by_non_root(), 0u);
}

TEST(Registrations, SequenceWrapsAroundToOne) {
    Registrations regs(4, 0x1F, whole(4), kGrace, kIdSequenceMask - 1);
    int32_t largest = regs.add(1, kSomeone, 0x10, 1, kDeadline);
    EXPECT_EQ(largest, (4 << kIdMachineShift) | kIdSequenceMask);
    EXPECT_GT(largest, 0);
    EXPECT_EQ(regs.add(1, kSomeone, 0x10, 1, kDeadline), (4 << kIdMachineShift) | 1);
}

TEST(Registrations, VerdictAssembly) {
    // Group: machines 0 (local), 1 and 3. Expected: 0, 1, 2, 3.
    Registrations regs(0, 0x0B, whole(16), kGrace);
    int32_t id = regs.add(7, kSomeone, 0x0F, 2'000'000, kDeadline);
    ASSERT_GT(id, 0);
    EXPECT_EQ(regs.record(id, 0, kDeadline - 1'500'000), Registrations::Receipt::kRecorded);
    EXPECT_EQ(regs.record(id, 1, kDeadline + 40'000), Registrations::Receipt::kRecorded);
    EXPECT_EQ(regs.record(id, 1, kDeadline), Registrations::Receipt::kRepeated);
    EXPECT_EQ(regs.record(id, 2, kDeadline), Registrations::Receipt::kNotExpected);  // not in group
    EXPECT_EQ(regs.record(id, 4, kDeadline), Registrations::Receipt::kNotExpected);
    EXPECT_EQ(regs.record(id + 1, 0, kDeadline), Registrations::Receipt::kUnknown);

    // Machine 3 has not reported: nothing is due before the grace period ends.
    EXPECT_TRUE(regs.take_due(kDeadline + kGrace - 1).empty());
    EXPECT_EQ(regs.next_due(), kDeadline + kGrace);
    auto due = regs.take_due(kDeadline + kGrace);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(regs.pending(), 0u);
    const FailureNotice &n = due[0].notice;
    EXPECT_EQ(due[0].connection, 7);
    EXPECT_EQ(n.sender, 0);
    EXPECT_EQ(n.seq, static_cast<uint32_t>(id));

    // The notice as it goes on the wire, byte for byte.
    uint8_t wire[norv::wire::notice::kSize];
    norv::wire::encode_failure_notice(n, wire);
    norv::test::Bytes expected = {
        0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(id), 0x00, 0x00, 0x00,
        0x00, 0x01, 0x00, 0x00, 0x24, 0xFA, 0xFF, 0xFF,  // machine 0: timely, 1500 us early
        0x01, 0x01, 0x00, 0x00, 0x28, 0x00, 0x00, 0x00,  // machine 1: late by 40 us
        0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // machine 2: not in the group
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // machine 3: missing
        0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // machine 4: not expected
    };
    EXPECT_EQ(norv::test::Bytes(wire, wire + sizeof wire), expected);
    EXPECT_EQ(describe(n), "machine 0 timely (-1500 us), machine 1 late (+40 us), machine 3 missing");
}

// A verdict is undecidable by the clocks when the receipt may lie on either
// side of the deadline: at or before it (timely) and after it (late).
TEST(Registrations, UndecidableByTheClocks) {
    struct Row {
        const char *what;
        std::optional<std::pair<int64_t, int64_t>> span;  // earliest, latest from the deadline
        bool undecidable;
    } rows[] = {
        {"offset not known", std::nullopt, true},
        {"exact, at the deadline", std::pair{0, 0}, false},
        {"across the deadline", std::pair{-10, 10}, true},
        {"latest at the deadline: timely whatever", std::pair{-10, 0}, false},
        {"earliest at the deadline, latest after", std::pair{0, 1}, true},
        {"all after it", std::pair{1, 10}, false},
        {"all before it", std::pair{-10, -1}, false},
    };
    Registrations regs(0, 0x03, whole(16), kGrace);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        std::optional<ReceiptBounds> b;
        if (r.span) b = ReceiptBounds{kDeadline + r.span->first, kDeadline + r.span->second, {}};
        EXPECT_EQ(undecidable_by_clocks(b, kDeadline), r.undecidable);
        // The verdict carries it for the peer's receipt; this machine's own is exact.
        int32_t id = regs.add(1, kSomeone, 0x03, 2'000'000, kDeadline);
        regs.record(id, 0, kDeadline + 5);
        regs.record(id, 1, kDeadline, kDeadline, b);
        auto due = regs.take_due(kDeadline);
        ASSERT_EQ(due.size(), 1u);
        EXPECT_EQ(due[0].undecidable, r.undecidable ? 0x02 : 0x00);
        EXPECT_EQ(due[0].bounds[1].has_value(), r.span.has_value());
        EXPECT_EQ(due[0].notice.verdicts[1].status, kTimely);  // the notice is as it always was
    }
}

TEST(Registrations, DueAsSoonAsEveryExpectedMachineReported) {
    Registrations regs(2, 0x07, whole(16), kGrace);
    int32_t id = regs.add(1, kSomeone, 0x1F, 2'000'000, kDeadline);  // expected in group: 0, 1, 2
    regs.record(id, 2, kDeadline - 10);
    regs.record(id, 0, kDeadline - 10);
    EXPECT_TRUE(regs.take_due(kDeadline - 5).empty());
    regs.record(id, 1, kDeadline - 5);
    EXPECT_EQ(regs.next_due(), BaseTime(0));
    auto due = regs.take_due(kDeadline - 5);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].notice.sender, 2);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(due[0].notice.verdicts[i].status, kTimely);
    EXPECT_EQ(due[0].notice.verdicts[3].status, kNothingToReport);
    EXPECT_EQ(describe(due[0].notice),
              "machine 0 timely (0 us), machine 1 timely (0 us), machine 2 timely (0 us)");
}

TEST(Registrations, VerdictsComeInTheOrderTheyFellDue) {
    struct Reg {
        BaseTime deadline;
        uint8_t expected;  // group: machines 0 and 1
    };
    struct Case {
        const char *what;
        std::vector<Reg> regs;                        // registered in this order
        std::vector<std::pair<int, uint8_t>> reports;  // (registration, machine), in this order
        BaseTime now;                                 // of the one take_due
        std::vector<int> due;                         // registrations, in the order judged
    } cases[] = {
        {"earlier deadline first, whatever the registration order",
         {{kDeadline + 30, 1}, {kDeadline + 10, 1}, {kDeadline + 20, 1}}, {},
         kDeadline + 30 + kGrace, {1, 2, 0}},
        {"one deadline: the order of registration",
         {{kDeadline, 1}, {kDeadline, 1}, {kDeadline, 1}}, {}, kDeadline + kGrace, {0, 1, 2}},
        {"only those due by now",
         {{kDeadline + 1, 1}, {kDeadline + 5, 1}, {kDeadline + 2, 1}}, {}, kDeadline + 2 + kGrace,
         {0, 2}},
        {"complete before the deadline: at once, in the order completed",
         {{kDeadline, 1}, {kDeadline + 1, 3}, {kDeadline + 2, 1}}, {{2, 0}, {1, 1}, {1, 0}},
         kDeadline - 1, {2, 1}},
        {"completed ones come before those that timed out",
         {{kDeadline, 1}, {kDeadline + 10, 1}, {kDeadline + 20, 1}}, {{2, 0}},
         kDeadline + 10 + kGrace, {2, 0, 1}},
        {"one machine of two reported: still waits for its deadline",
         {{kDeadline, 3}, {kDeadline + 1, 1}}, {{0, 0}}, kDeadline + 1 + kGrace, {0, 1}},
        {"a repeated report does not move it",
         {{kDeadline, 3}, {kDeadline + 1, 1}}, {{0, 0}, {0, 0}}, kDeadline - 1, {}},
        {"a deadline at the end of time comes last",
         {{BaseTime(UINT64_MAX), 1}, {kDeadline, 1}}, {}, BaseTime(UINT64_MAX), {1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Registrations regs(0, 0x03, whole(16), kGrace);
        std::vector<int32_t> ids;
        for (const Reg &r : c.regs) ids.push_back(regs.add(1, kSomeone, r.expected, 1, r.deadline));
        for (auto [reg, machine] : c.reports) regs.record(ids[reg], machine, kDeadline - 100);
        std::vector<uint32_t> expected, got;
        for (int reg : c.due) expected.push_back(static_cast<uint32_t>(ids[reg]));
        for (const Verdict &v : regs.take_due(c.now)) got.push_back(v.notice.seq);
        EXPECT_EQ(got, expected);
        EXPECT_EQ(regs.pending(), c.regs.size() - c.due.size());
    }
}

TEST(Registrations, DeadlineNearTheEndOfTimeDoesNotWrap) {
    Registrations regs(0, 0x01, whole(16), kGrace);
    regs.add(1, kSomeone, 0x01, UINT64_MAX, BaseTime(UINT64_MAX - 10));
    EXPECT_TRUE(regs.take_due(BaseTime(UINT64_MAX - 1)).empty());
    EXPECT_EQ(regs.next_due(), BaseTime(UINT64_MAX));
}

TEST(Registrations, DropConnection) {
    Registrations regs(0, 0x01, whole(16), kGrace);
    regs.add(1, kSomeone, 0x01, 1, kDeadline);
    int32_t kept = regs.add(2, kSomeone, 0x01, 1, kDeadline);
    regs.add(1, kSomeone, 0x01, 1, kDeadline);
    EXPECT_EQ(regs.drop_connection(1), 2u);
    EXPECT_EQ(regs.drop_connection(1), 0u);
    auto due = regs.take_due(kDeadline + kGrace);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].notice.seq, static_cast<uint32_t>(kept));
}

TEST(ReceiptLog, DeliversEachReceiptOnceWithinItsCapacity) {
    ReceiptLog log(3);
    EXPECT_TRUE(log.first_time(0, 1));
    EXPECT_FALSE(log.first_time(0, 1));
    EXPECT_TRUE(log.first_time(1, 1));  // same id, other sender
    EXPECT_TRUE(log.first_time(0, 2));
    EXPECT_FALSE(log.first_time(1, 1));
    EXPECT_TRUE(log.first_time(0, 3));  // evicts (0, 1), the oldest
    EXPECT_TRUE(log.first_time(0, 1));
    EXPECT_FALSE(log.first_time(0, 3));
}

}  // namespace
}  // namespace norvd
