// verdict_delivery.cc: the verdicts, counted, logged and written or queued as
// failure notices.
#include "parts/verdict_delivery.h"

#include <optional>
#include <string>
#include <utility>

#include "core/registrations.h"
#include "io/log.h"
#include "wire.h"

namespace norvd {

VerdictDelivery::VerdictDelivery(Service &service, uint8_t groupMask, BaseTime start, Writer write, Exists exists)
    : service_(service), write_(std::move(write)), exists_(std::move(exists)), stats_(groupMask, start) {}

void VerdictDelivery::add_turn_work(EventLoop &loop) {
    using Turn = EventLoop::Turn;
    loop.add_deadline([this](BaseTime now) {
        return notices_.empty() ? std::nullopt : std::optional(now + kNoticeRetry);
    });
    loop.add_after_turn([this](const Turn &) { flush(); });
    loop.add_deadline([this](BaseTime) -> std::optional<BaseTime> {
        auto due = service_.next_due();
        if (!due) return std::nullopt;
        return due->ns > UINT64_MAX - kSettleNs ? BaseTime(UINT64_MAX) : *due + kSettleNs;
    });
    // Every request already readable is read before a verdict is judged: a
    // receipt that waited while norvd was busy still counts. What reached
    // norvd before `seen` was reported by the look that followed the
    // reading and has been read, so verdicts are judged as of `seen`.
    loop.add_after_turn([this](const Turn &t) { deliver(t.seen.ns > kSettleNs ? t.seen - kSettleNs : BaseTime()); });
}

void VerdictDelivery::flush() { notices_.flush(write_); }

void VerdictDelivery::deliver(BaseTime now) {
    for (const Verdict &v : service_.take_due(now)) {
        stats_.count(v.notice, now);
        std::string what = "registration " + std::to_string(v.notice.seq) + " judged: " +
                           describe(v.notice);
        if (!exists_(v.connection)) {
            log_info(what + "; its connection has gone");
            continue;
        }
        NoticeQueue::Record record;
        norv::wire::encode_failure_notice(v.notice, record.data());
        switch (notices_.deliver(v.connection, record, write_)) {
        case NoticeQueue::Fate::kWritten:
            log_info(what);
            break;
        case NoticeQueue::Fate::kQueued:
            log_info(what + "; notice waits for room, " +
                     std::to_string(notices_.waiting(v.connection)) + " waiting");
            break;
        case NoticeQueue::Fate::kDroppedConnectionFull:
            log_limited(event::kDroppedNotice, Severity::kWarning,
                        what + "; notice dropped: " + std::to_string(notices_.per_connection()) +
                            " notices wait for channel " + std::to_string(v.connection));
            break;
        case NoticeQueue::Fate::kDroppedAllFull:
            log_limited(event::kDroppedNotice, Severity::kWarning,
                        what + "; notice dropped: " + std::to_string(notices_.total_bytes()) +
                            " bytes of notices wait in all");
            break;
        }
    }
}

void VerdictDelivery::connection_ended(int connection) {
    if (size_t dropped = notices_.drop_connection(connection))
        log_warning("channel " + std::to_string(connection) + ": " + std::to_string(dropped) +
                    " failure notices that waited for its client dropped");
}

std::vector<MachineVerdicts> VerdictDelivery::verdicts(BaseTime now) const {
    std::vector<MachineVerdicts> out;
    for (uint8_t m = 0; m < MAX_MACHINES; ++m)
        if (stats_.group() & (1u << m)) out.push_back(stats_.machine(m, now));
    return out;
}

}  // namespace norvd
