// registrations.h: registered sends waiting for their verdict, and the log of
// receipts already accepted.
//
// A registration names the machines expected to receive a message and its
// deadline. Receipts come from the local clients (command 10) or from the
// peers' norvd. Once every expected machine of the group has reported, or at
// the deadline plus a grace period, the registration is judged: one verdict
// per machine, assembled into a FailureNotice for the connection that
// registered. All times here are base times (CLOCK_BOOTTIME nanoseconds, see
// clock_watch.h).
#ifndef NORVD_REGISTRATIONS_H
#define NORVD_REGISTRATIONS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/base_receipt.h"
#include "core/times.h"
#include "core/user_shares.h"
#include "norv.h"

namespace norvd {

// Registration ids carry the registering machine in bits 26 to 28, so that the
// ids of the machines of one group never collide and always stay positive.
constexpr int kIdMachineShift = 26;
constexpr int32_t kIdSequenceMask = (1 << kIdMachineShift) - 1;
inline uint8_t machine_of_id(int32_t id) { return static_cast<uint8_t>(id >> kIdMachineShift); }

// Statuses written into a MachineVerdict.
constexpr uint8_t kTimely = 0;
constexpr uint8_t kTimingFailure = 1;
constexpr uint8_t kNothingToReport = 2;

// What the I/O layer has to deliver: a notice for the connection that
// registered the send, and what the clocks say of its verdicts.
struct Verdict {
    int connection;
    FailureNotice notice;
    uint64_t deadlineAfterStart = 0;
    BaseTime deadline;
    // Bit i: machine i reported, and the clocks cannot tell whether in time:
    // its receipt may lie on either side of the deadline (or the offset of
    // its clock is not known).
    uint8_t undecidable = 0;
    // Where each reported receipt lies as far as the clocks tell.
    std::array<std::optional<ReceiptBounds>, MAX_MACHINES> bounds{};
};

// Whether a receipt whose true time lies within `bounds` (nothing: anywhere)
// may have come on either side of the deadline.
bool undecidable_by_clocks(const std::optional<ReceiptBounds> &bounds, BaseTime deadline);

// One machine's verdict from the deadline and, when it reported, its receipt
// time. Lateness is in microseconds: receipt minus deadline, rounded toward
// the deadline when timely and away from it when late, so that a late receipt
// never shows a lateness of 0.
MachineVerdict judge(bool expected, std::optional<BaseTime> receipt, BaseTime deadline);

// The verdicts of a notice as one line of text for the log, e.g.
// "machine 0 timely (-1520 us), machine 1 late (+12 us), machine 2 missing".
std::string describe(const FailureNotice &notice);

class Registrations {
public:
    // groupMask: bit i set when machine i is in the group (the local machine
    // and its configured peers). shares: how many may be pending, in all and
    // for each account (user_shares.h). graceNs: how long after the deadline
    // a missing receipt is still awaited.
    // lastSequence: the sequence number of the id handed out last (tests
    // start near the end of the sequence).
    Registrations(uint8_t localId, uint8_t groupMask, ShareLimits shares, uint64_t graceNs,
                  int32_t lastSequence = 0);

    // Registers a send of `connection`, charged to `account` until it is
    // judged or dropped. expected: bit i when machine i should receive it;
    // deadline: when it is due. Returns the registration id,
    // NORV_REFUSED_TABLE_FULL (the table or the account's share is full),
    // or NORV_REFUSED_NO_RECEIVER when expected names no machine of the group
    // or relative deadline (deadlineAfterStart) is 0.
    int32_t add(int connection, const Account &account, uint8_t expected, uint64_t deadlineAfterStart,
                BaseTime deadline);

    enum class Receipt { kRecorded, kUnknown, kNotExpected, kRepeated, kTooLate };
    // A receipt of registration id at machine, at time `at` (within
    // `bounds`, as far as the clocks tell), that reached norvd at time
    // `reached`. One that reached it after the deadline plus the grace is not
    // counted (kTooLate): the verdict is the one norvd owed at that moment,
    // whenever it got round to judging.
    Receipt record(int32_t id, uint8_t machine, BaseTime at, BaseTime reached,
                   std::optional<ReceiptBounds> bounds);
    // A receipt of this machine's own clock: its time is exact.
    Receipt record(int32_t id, uint8_t machine, BaseTime at, BaseTime reached = BaseTime()) {
        return record(id, machine, at, reached, ReceiptBounds{at, at, {}});
    }

    // Takes out every registration judged by now: all expected machines of
    // the group reported, or deadline + grace passed. The verdicts come in the
    // order the registrations fell due: first those whose every expected
    // machine reported, in the order they completed, then those that timed
    // out, by deadline, and registrations with one deadline in the order they
    // were made. O(log n) per verdict.
    std::vector<Verdict> take_due(BaseTime now);

    // The earliest time at which a pending registration falls due (0 when
    // one is complete already).
    std::optional<BaseTime> next_due() const;

    // Drops the registrations of a connection that has gone: its notices have
    // nowhere to go. Returns how many were dropped. Looks at every pending
    // registration.
    size_t drop_connection(int connection);

    size_t pending() const { return pending_.size(); }
    std::vector<int32_t> pending_ids() const;
    // How many registrations each connection has pending (looks at all).
    std::map<int, size_t> pending_by_connection() const;
    // Registrations made and refused since start.
    uint64_t made() const { return made_; }
    uint64_t refused() const { return refused_; }
    uint8_t group() const { return group_; }
    // Who holds how many of the pending registrations.
    const UserShares &shares() const { return shares_; }

private:
    // Where a registration stands in the order of verdicts: the true time at
    // which it falls due (0 once complete), then a count that grows with
    // every registration and every completion, so that ties keep the order of
    // events even after the ids wrap around.
    using DueKey = std::pair<BaseTime, uint64_t>;

    struct Pending {
        int connection;
        Account account;   // charged with it
        uint8_t expected;  // already limited to the group
        uint64_t deadlineAfterStart;
        BaseTime deadline;
        DueKey due;
        std::array<std::optional<BaseTime>, MAX_MACHINES> receipts;
        std::array<std::optional<ReceiptBounds>, MAX_MACHINES> bounds;
    };

    Verdict judge_all(int32_t id, const Pending &p) const;
    bool all_reported(const Pending &p) const;

    uint8_t local_;
    uint8_t group_;
    UserShares shares_;
    uint64_t grace_;
    int32_t lastSequence_ = 0;
    uint64_t events_ = 0;  // the second half of the next DueKey
    uint64_t made_ = 0, refused_ = 0;
    std::map<int32_t, Pending> pending_;
    // The same registrations ordered by when they fall due: the loop looks
    // at the head only, whatever the size of the table.
    std::map<DueKey, int32_t> byDue_;
};

// The receipts accepted on this machine, so that a duplicated or replayed
// datagram is delivered once. Keeps the most recent `capacity` receipts.
class ReceiptLog {
public:
    explicit ReceiptLog(size_t capacity) : capacity_(capacity) {}

    // True the first time a (sender, registration id) pair is seen.
    bool first_time(uint8_t sender, int32_t id);

private:
    size_t capacity_;
    std::set<std::pair<uint8_t, int32_t>> seen_;
    std::deque<std::pair<uint8_t, int32_t>> order_;
};

}  // namespace norvd

#endif  // NORVD_REGISTRATIONS_H
