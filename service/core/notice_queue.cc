// notice_queue.cc: the notices that wait for room on their notice device.
#include "core/notice_queue.h"

namespace norvd {

size_t NoticeQueue::flush_one(Queues::iterator &it, const Writer &write) {
    std::deque<Record> &q = it->second;
    size_t written = 0;
    while (!q.empty() && write(it->first, q.front().data(), kRecordSize)) {
        q.pop_front();
        bytes_ -= kRecordSize;
        ++written;
    }
    if (q.empty())
        it = queues_.erase(it);
    else
        ++it;
    return written;
}

NoticeQueue::Fate NoticeQueue::deliver(int connection, const Record &record, const Writer &write) {
    auto it = queues_.find(connection);
    if (it != queues_.end()) flush_one(it, write);  // the older notices first
    auto q = queues_.find(connection);  // gone when they all went out
    if (q == queues_.end() && write(connection, record.data(), kRecordSize)) return Fate::kWritten;
    if (q != queues_.end() && q->second.size() >= perConnection_) {
        ++dropped_.connectionFull;
        return Fate::kDroppedConnectionFull;
    }
    if (bytes_ + kRecordSize > totalBytes_) {
        ++dropped_.allFull;
        return Fate::kDroppedAllFull;
    }
    queues_[connection].push_back(record);
    bytes_ += kRecordSize;
    return Fate::kQueued;
}

size_t NoticeQueue::flush(const Writer &write) {
    size_t written = 0;
    for (auto it = queues_.begin(); it != queues_.end();) written += flush_one(it, write);
    return written;
}

size_t NoticeQueue::drop_connection(int connection) {
    auto it = queues_.find(connection);
    if (it == queues_.end()) return 0;
    size_t dropped = it->second.size();
    bytes_ -= dropped * kRecordSize;
    dropped_.connectionEnded += dropped;
    queues_.erase(it);
    return dropped;
}

size_t NoticeQueue::waiting(int connection) const {
    auto it = queues_.find(connection);
    return it == queues_.end() ? 0 : it->second.size();
}

}  // namespace norvd
