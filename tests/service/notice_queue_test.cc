// The notices that wait for room on their notice device: order, bounds, the
// bound each drop met and the end of a connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "core/notice_queue.h"
#include "wire.h"

namespace norvd {
namespace {

using Fate = NoticeQueue::Fate;

NoticeQueue::Record record(uint32_t seq) {
    NoticeQueue::Record r{};
    norv::wire::put_u32le(r.data(), 4, seq);
    return r;
}

// Notice devices that take `room[connection]` more records each, and keep
// the sequence numbers written to them.
struct Devices {
    std::map<int, size_t> room;
    std::map<int, std::vector<uint32_t>> written;
    NoticeQueue::Writer writer() {
        return [this](int c, const uint8_t *rec, size_t len) {
            if (len != NoticeQueue::kRecordSize || room[c] == 0) return false;
            --room[c];
            written[c].push_back(norv::wire::get_u32le(rec, 4));
            return true;
        };
    }
};

std::vector<uint32_t> seqs(uint32_t from, uint32_t to) {
    std::vector<uint32_t> out;
    for (uint32_t s = from; s < to; ++s) out.push_back(s);
    return out;
}

TEST(NoticeQueue, WaitingNoticesGoFirst) {
    NoticeQueue queue;
    Devices dev;
    dev.room[1] = 3;
    for (uint32_t s = 0; s < 3; ++s) EXPECT_EQ(queue.deliver(1, record(s), dev.writer()), Fate::kWritten);
    for (uint32_t s = 3; s < 8; ++s) EXPECT_EQ(queue.deliver(1, record(s), dev.writer()), Fate::kQueued);
    EXPECT_EQ(queue.waiting(1), 5u);
    EXPECT_EQ(queue.waiting_bytes(), 5 * NoticeQueue::kRecordSize);
    // The client read one: the oldest waiting one takes the room, not the new one.
    dev.room[1] = 1;
    EXPECT_EQ(queue.deliver(1, record(8), dev.writer()), Fate::kQueued);
    EXPECT_EQ(dev.written[1], seqs(0, 4));
    // Room for all: flush empties the queue, in order.
    dev.room[1] = 100;
    EXPECT_EQ(queue.flush(dev.writer()), 5u);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.waiting_bytes(), 0u);
    EXPECT_EQ(queue.deliver(1, record(9), dev.writer()), Fate::kWritten);
    EXPECT_EQ(dev.written[1], seqs(0, 10));
}

// Random deliveries, reads and flushes on three connections: each device
// receives exactly the notices of its connection, in the order delivered.
TEST(NoticeQueue, OrderKeptUnderRandomReads) {
    std::mt19937 rng(20261208);
    NoticeQueue queue;
    Devices dev;
    std::map<int, std::vector<uint32_t>> delivered;
    uint32_t seq = 0;
    for (int step = 0; step < 20000; ++step) {
        int c = static_cast<int>(rng() % 3) * 2;
        switch (rng() % 4) {
        case 0:
        case 1: {
            delivered[c].push_back(seq);
            Fate fate = queue.deliver(c, record(seq++), dev.writer());
            EXPECT_TRUE(fate == Fate::kWritten || fate == Fate::kQueued);
            break;
        }
        case 2:
            dev.room[c] += rng() % 4;  // the client read some
            break;
        case 3:
            queue.flush(dev.writer());
            break;
        }
    }
    for (int c : {0, 2, 4}) dev.room[c] = SIZE_MAX;
    queue.flush(dev.writer());
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(dev.written, delivered);
}

// Each drop says which bound it met, for the warning line.
TEST(NoticeQueue, BoundsDropAndTellWhich) {
    constexpr size_t kRec = NoticeQueue::kRecordSize;
    constexpr Fate kQ = Fate::kQueued, kConnFull = Fate::kDroppedConnectionFull,
                   kAllFull = Fate::kDroppedAllFull;
    struct Case {
        const char *what;
        size_t perConnection, totalBytes;
        std::vector<int> deliveries;  // connections, in order; no device has room
        std::vector<Fate> fates;
    } cases[] = {
        {"a connection's queue full", 2, 100 * kRec, {1, 1, 1, 3, 1},
         {kQ, kQ, kConnFull, kQ, kConnFull}},
        {"all queues together full", 10, 3 * kRec, {1, 3, 1, 3, 5},
         {kQ, kQ, kQ, kAllFull, kAllFull}},
        // A full queue of its own is told first, though all are full too.
        {"both", 1, 2 * kRec, {1, 1, 3, 5, 3}, {kQ, kConnFull, kQ, kAllFull, kConnFull}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        NoticeQueue queue(c.perConnection, c.totalBytes);
        Devices dev;
        std::vector<Fate> fates;
        for (int conn : c.deliveries) fates.push_back(queue.deliver(conn, record(7), dev.writer()));
        EXPECT_EQ(fates, c.fates);
        // The drops are counted by why, as norvctl and the metrics tell them.
        EXPECT_EQ(queue.dropped().connectionFull, size_t(std::count(fates.begin(), fates.end(), kConnFull)));
        EXPECT_EQ(queue.dropped().allFull, size_t(std::count(fates.begin(), fates.end(), kAllFull)));
        EXPECT_EQ(queue.per_connection(), c.perConnection);
        EXPECT_EQ(queue.total_bytes(), c.totalBytes);
    }
}

TEST(NoticeQueue, ADefaultQueueHolds65536NoticesOfOneConnection) {
    NoticeQueue queue;
    Devices dev;
    for (uint32_t s = 0; s < 65536; ++s)
        ASSERT_EQ(queue.deliver(4, record(s), dev.writer()), Fate::kQueued) << s;
    EXPECT_EQ(queue.deliver(4, record(65536), dev.writer()), Fate::kDroppedConnectionFull);
    // Room again once the client reads.
    dev.room[4] = 1;
    EXPECT_EQ(queue.deliver(4, record(65537), dev.writer()), Fate::kQueued);
    EXPECT_EQ(dev.written[4], seqs(0, 1));
}

TEST(NoticeQueue, AConnectionThatEndsTakesItsQueueAlong) {
    NoticeQueue queue;
    Devices dev;
    for (uint32_t s = 0; s < 5; ++s) queue.deliver(2, record(s), dev.writer());
    for (uint32_t s = 10; s < 13; ++s) queue.deliver(4, record(s), dev.writer());
    EXPECT_EQ(queue.drop_connection(2), 5u);
    EXPECT_EQ(queue.drop_connection(2), 0u);
    EXPECT_EQ(queue.dropped().connectionEnded, 5u);
    EXPECT_EQ(queue.waiting_notices(), 3u);
    EXPECT_EQ(queue.waiting(2), 0u);
    EXPECT_EQ(queue.waiting_bytes(), 3 * NoticeQueue::kRecordSize);
    // The next connection with that number starts with an empty queue.
    dev.room[2] = dev.room[4] = 10;
    EXPECT_EQ(queue.deliver(2, record(20), dev.writer()), Fate::kWritten);
    EXPECT_EQ(queue.flush(dev.writer()), 3u);
    EXPECT_EQ(dev.written[2], std::vector<uint32_t>{20});
    EXPECT_EQ(dev.written[4], seqs(10, 13));
    EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace norvd
