// verdict_delivery.h: the verdicts on registered sends, delivered as failure
// notices to the connections that registered them.
//
// After every turn of the loop it takes the Service's verdicts due by then
// (judged kSettleNs before the last look at the descriptors, see
// add_turn_work), counts them in the verdict statistics, logs each, and
// writes its notice on the notice device of its connection, or queues it
// there when the device is full (notice_queue.h). The queued notices are
// offered again after every turn, and at least every kNoticeRetry while any
// wait: a client's reads give norvd no event.
//
// It does no I/O of its own: a notice goes out through the Writer it was
// given, and whether a connection still exists is asked through a call too.
// The daemon tells it when a connection ends. It shows the verdicts
// (norvctl's `verdicts`) and the notices' figures of `status` and of each
// connection.
#ifndef NORVD_VERDICT_DELIVERY_H
#define NORVD_VERDICT_DELIVERY_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/commands.h"
#include "core/notice_queue.h"
#include "core/verdict_stats.h"
#include "loop/event_loop.h"

namespace norvd {

// How often notices that wait for room are offered again: a client's reads
// give norvd no event, so while notices wait it looks on a timer. A device
// holds 84 notices, so a reader gets about 21000 a second, and a connection
// whose notices wait costs a wake-up and a look every 4 ms.
constexpr uint64_t kNoticeRetry = 4'000'000;
// A registration that misses a receipt is judged this long after its deadline
// plus grace, on the receipts that reached norvd by the deadline plus grace:
// a peer's message that arrived on this machine in time may still be on its
// way through the kernel to norvd's socket.
constexpr uint64_t kSettleNs = 2'000'000;

class VerdictDelivery {
public:
    // Writes one notice on its connection's device if it fits there now.
    using Writer = NoticeQueue::Writer;
    // Whether connection `connection` still exists.
    using Exists = std::function<bool(int connection)>;

    // groupMask: the machines of the group; start: norvd's start, on the
    // base clock (verdict_stats.h).
    VerdictDelivery(Service &service, uint8_t groupMask, BaseTime start, Writer write, Exists exists);
    VerdictDelivery(const VerdictDelivery &) = delete;
    VerdictDelivery &operator=(const VerdictDelivery &) = delete;

    // Registers with the loop the retry of the waiting notices and the
    // delivery of the verdicts, in this order, after the work already
    // registered: the notices that wait go out before new ones join them.
    void add_turn_work(EventLoop &loop);

    // Offers the waiting notices again, oldest first.
    void flush();
    // Delivers the verdicts due by `now`.
    void deliver(BaseTime now);
    // Connection `connection` has ended: its waiting notices are dropped
    // (logged).
    void connection_ended(int connection);

    // Each machine of the group's verdicts as of `now`.
    std::vector<MachineVerdicts> verdicts(BaseTime now) const;
    size_t notices_waiting() const { return notices_.waiting_notices(); }
    size_t notices_waiting(int connection) const { return notices_.waiting(connection); }
    const NoticeDrops &notices_dropped() const { return notices_.dropped(); }

private:
    Service &service_;
    const Writer write_;
    const Exists exists_;
    VerdictStats stats_;
    NoticeQueue notices_;  // notices that did not fit in their device yet
};

}  // namespace norvd

#endif  // NORVD_VERDICT_DELIVERY_H
