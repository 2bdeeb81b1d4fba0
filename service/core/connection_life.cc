// connection_life.cc: the answer queue and the reclaim rules.
#include "core/connection_life.h"

#include <algorithm>

namespace norvd {

void ConnectionLife::answered(int channel) {
    queue_.push_back(channel);
    if (channel >= 0) lives_[channel] = Life{};
}

void ConnectionLife::mark_read(int channel, BaseTime now) {
    auto it = lives_.find(channel);
    if (it == lives_.end() || it->second.answer != Answer::kUnread) return;
    it->second.answer = Answer::kRead;
    it->second.readAt = now;
}

void ConnectionLife::used(int channel, BaseTime now) {
    auto it = std::find(queue_.begin(), queue_.end(), channel);
    if (it == queue_.end()) return mark_read(channel, now);
    for (auto q = queue_.begin(); q != it + 1; ++q) mark_read(*q, now);
    queue_.erase(queue_.begin(), it + 1);
}

std::vector<int> ConnectionLife::answers_taken_back(size_t bytes, BaseTime now) {
    size_t written = queue_.size() * kAnswerSize;
    // What clients took came first: whole answers, and maybe one in part,
    // which has given its number away all the same.
    size_t read = written > bytes ? written - bytes : 0;
    size_t readAnswers = (read + kAnswerSize - 1) / kAnswerSize;
    std::vector<int> never;
    for (size_t i = 0; i < queue_.size(); ++i) {
        if (i < readAnswers) {
            mark_read(queue_[i], now);
            continue;
        }
        auto it = lives_.find(queue_[i]);
        if (it == lives_.end() || it->second.answer != Answer::kUnread) continue;
        it->second.answer = Answer::kTakenBack;
        never.push_back(queue_[i]);
    }
    queue_.clear();
    return never;
}

void ConnectionLife::seen(int channel, Device device, bool held, BaseTime now) {
    auto it = lives_.find(channel);
    if (it == lives_.end()) return;
    Life &l = it->second;
    size_t d = static_cast<size_t>(device);
    if (held) {
        l.held[d] = true;
        l.seenHeld[d] = true;
        used(channel, now);
    } else if (l.held[d]) {
        l.held[d] = false;
        l.idleSince[d] = now;
    }
}

void ConnectionLife::requests_read(int channel, BaseTime now) {
    auto it = lives_.find(channel);
    if (it == lives_.end()) return;
    size_t d = static_cast<size_t>(Device::kRequest);
    it->second.held[d] = true;
    it->second.seenHeld[d] = true;
    used(channel, now);
}

void ConnectionLife::client_closed(int channel, Device device, BaseTime now) {
    auto it = lives_.find(channel);
    if (it == lives_.end()) return;
    size_t d = static_cast<size_t>(device);
    it->second.held[d] = false;
    it->second.seenHeld[d] = true;
    it->second.idleSince[d] = now;
    used(channel, now);
}

Reclaim ConnectionLife::verdict(int channel, BaseTime now) const {
    auto it = lives_.find(channel);
    if (it == lives_.end()) return Reclaim::kKeep;
    const Life &l = it->second;
    if (l.held[0] || l.held[1]) return Reclaim::kKeep;
    switch (l.answer) {
    case Answer::kUnread:
        return Reclaim::kKeep;
    case Answer::kTakenBack:
        return Reclaim::kAnswerTakenBack;
    case Answer::kRead:
        break;
    }
    if (l.seenHeld[0] || l.seenHeld[1]) {
        BaseTime idle;
        for (size_t d = 0; d < 2; ++d)
            if (l.seenHeld[d]) idle = std::max(idle, l.idleSince[d]);
        if (now >= idle + kReclaimDelay) return Reclaim::kClosed;
    }
    if (now >= l.readAt + kUnopenedTimeout) return Reclaim::kUnopened;
    return Reclaim::kKeep;
}

std::optional<BaseTime> ConnectionLife::wake_time(const Life &l) const {
    // A held device or an unread answer changes by an event, not by time.
    if (l.held[0] || l.held[1] || l.answer == Answer::kUnread) return std::nullopt;
    if (l.answer == Answer::kTakenBack) return BaseTime();
    BaseTime at = l.readAt + kUnopenedTimeout;
    if (l.seenHeld[0] || l.seenHeld[1]) {
        BaseTime idle;
        for (size_t d = 0; d < 2; ++d)
            if (l.seenHeld[d]) idle = std::max(idle, l.idleSince[d]);
        at = std::min(at, idle + kReclaimDelay);
    }
    return at;
}

std::vector<int> ConnectionLife::due(BaseTime now) const {
    std::vector<int> out;
    for (const auto &[channel, l] : lives_)
        if (auto at = wake_time(l); at && *at <= now) out.push_back(channel);
    return out;
}

std::optional<BaseTime> ConnectionLife::next_due() const {
    std::optional<BaseTime> next;
    for (const auto &[channel, l] : lives_)
        if (auto at = wake_time(l); at && (!next || *at < *next)) next = at;
    return next;
}

void ConnectionLife::forget(int channel) { lives_.erase(channel); }

bool ConnectionLife::queued(int channel) const {
    return std::find(queue_.begin(), queue_.end(), channel) != queue_.end();
}

}  // namespace norvd
