// notice_queue.h: failure notices waiting for room on their connection's
// notice device.
//
// A notice device takes a record only while its client has left at most
// kUnreadLimit bytes unread (84 notices). A client that reads its notices
// late would lose the rest; they wait here instead, one queue per connection
// in the order the verdicts were decided, and go out as the client reads. A
// notice never overtakes an older one of its connection: while any waits, a
// new one goes behind them.
//
// Memory is bounded twice: a connection's queue holds at most
// kNoticeQueueLimit notices, and all queues together kNoticeBytesLimit bytes.
// A notice beyond either bound is dropped, and deliver() says which bound
// it met; the caller's log limits the warnings to one line a second.
//
// No I/O here: the caller passes a Writer that tries to write one record to a
// connection's notice device, and the time.
#ifndef NORVD_NOTICE_QUEUE_H
#define NORVD_NOTICE_QUEUE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>

#include "wire.h"

namespace norvd {

constexpr size_t kNoticeQueueLimit = 65536;        // notices waiting per connection
constexpr size_t kNoticeBytesLimit = 64u << 20;    // bytes of notices waiting in all

// Notices dropped since start, by why.
struct NoticeDrops {
    uint64_t connectionFull = 0;  // its connection's queue was full
    uint64_t allFull = 0;         // the queues held their bound in all
    uint64_t connectionEnded = 0;  // waited for a connection that ended
    uint64_t total() const { return connectionFull + allFull + connectionEnded; }
};

class NoticeQueue {
public:
    static constexpr size_t kRecordSize = norv::wire::notice::kSize;
    using Record = std::array<uint8_t, kRecordSize>;
    // Tries to write one whole record to the notice device of `connection`:
    // true when it was written, false (nothing written) when it did not fit.
    using Writer = std::function<bool(int connection, const uint8_t *record, size_t len)>;

    explicit NoticeQueue(size_t perConnection = kNoticeQueueLimit,
                         size_t totalBytes = kNoticeBytesLimit)
        : perConnection_(perConnection), totalBytes_(totalBytes) {}

    enum class Fate {
        kWritten,
        kQueued,
        kDroppedConnectionFull,  // its connection's queue holds perConnection notices
        kDroppedAllFull,         // the queues hold totalBytes in all
    };

    // A new notice for `connection`. The notices already waiting for it go
    // first, as far as they fit; then this one is written when nothing waits
    // any more and it fits, else it waits behind them, else (a bound reached)
    // it is dropped.
    Fate deliver(int connection, const Record &record, const Writer &write);

    // Writes the waiting notices of every connection, oldest first, until one
    // does not fit. Returns how many went out.
    size_t flush(const Writer &write);

    // The connection has ended: its waiting notices have nowhere to go.
    // Returns how many were thrown away.
    size_t drop_connection(int connection);

    bool empty() const { return queues_.empty(); }
    size_t waiting(int connection) const;
    size_t waiting_bytes() const { return bytes_; }
    size_t waiting_notices() const { return bytes_ / kRecordSize; }
    const NoticeDrops &dropped() const { return dropped_; }
    size_t per_connection() const { return perConnection_; }
    size_t total_bytes() const { return totalBytes_; }

private:
    using Queues = std::map<int, std::deque<Record>>;

    // Writes the head of one queue as far as it fits; erases the queue when
    // it empties (queues_ holds non-empty queues only). Returns how many.
    size_t flush_one(Queues::iterator &it, const Writer &write);

    size_t perConnection_;
    size_t totalBytes_;
    size_t bytes_ = 0;  // of all waiting notices
    NoticeDrops dropped_;
    Queues queues_;
};

}  // namespace norvd

#endif  // NORVD_NOTICE_QUEUE_H
