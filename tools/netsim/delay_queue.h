// delay_queue.h: packets in flight, each due at its own time. Packets due at
// the same time leave in the order they were queued.
#ifndef NETSIM_DELAY_QUEUE_H
#define NETSIM_DELAY_QUEUE_H

#include <cstdint>
#include <memory>
#include <queue>
#include <vector>

namespace netsim {

struct InFlight {
    int64_t dueNs;      // monotonic time at which it is delivered
    uint64_t order;     // tie-break: queueing order
    int from, to;
    int64_t arrivedNs;  // monotonic time at which it was read
    std::shared_ptr<const std::vector<uint8_t>> packet;  // shared by broadcast copies
};

class DelayQueue {
public:
    void push(InFlight p) {
        p.order = next_++;
        heap_.push(std::move(p));
    }
    bool empty() const { return heap_.empty(); }
    int64_t next_due() const { return heap_.top().dueNs; }
    // Removes and returns the earliest packet; the queue must not be empty.
    InFlight pop() {
        InFlight p = heap_.top();
        heap_.pop();
        return p;
    }

private:
    struct Later {
        bool operator()(const InFlight &a, const InFlight &b) const {
            return a.dueNs != b.dueNs ? a.dueNs > b.dueNs : a.order > b.order;
        }
    };
    std::priority_queue<InFlight, std::vector<InFlight>, Later> heap_;
    uint64_t next_ = 0;
};

}  // namespace netsim

#endif  // NETSIM_DELAY_QUEUE_H
