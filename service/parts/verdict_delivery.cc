// verdict_delivery.cc: the verdicts, counted, logged and written or queued as
// failure notices.
#include "parts/verdict_delivery.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "core/registrations.h"
#include "core/saturating.h"
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

namespace {

// A peer's clock offset so wide, or so far from 0, that it threatens verdicts
// on deadlines like this one: more than kOffsetShare of it.
constexpr uint64_t kOffsetShare = 10;

std::string between(int64_t low, int64_t high) {
    return "between " + std::to_string(low) + " and " + std::to_string(high) + " ns";
}

uint64_t magnitude(int64_t x) { return x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x); }

// What the clocks say of the verdicts on other machines' receipts: the
// undecidable ones at info, the others at debug, and a warning (at most one
// a second) when a peer's offset threatens the deadline. Text is made only
// for the lines written.
void tell_clocks(const Verdict &v) {
    auto who = [&](uint8_t m) {
        return "registration " + std::to_string(v.notice.seq) + ": machine " + std::to_string(m) + "'s ";
    };
    for (uint8_t m = 0; m < MAX_MACHINES; ++m) {
        if (m == v.notice.sender || v.notice.verdicts[m].latenessKnown != 1) continue;
        const std::optional<ReceiptBounds> &b = v.bounds[m];
        if (!b) {
            log_info(who(m) + "verdict is undecidable by the clocks: its clock offset is not known yet");
            continue;
        }
        auto offset = [&] { return "clock offset " + between(b->offset.low, b->offset.high); };
        auto lateness = [&] {
            return "lateness " + between(as_signed(b->earliest.ns) - as_signed(v.deadline.ns),
                                         as_signed(b->latest.ns) - as_signed(v.deadline.ns));
        };
        if (v.undecidable & (1u << m))
            log_info(who(m) + "verdict is undecidable by the clocks: " + lateness() + ", " + offset());
        else if (process_log().shows(Severity::kDebug))
            log_debug(who(m) + lateness() + " by the clocks, " + offset());
        uint64_t share = v.deadlineAfterStart / kOffsetShare;
        uint64_t width = static_cast<uint64_t>(b->offset.high) - static_cast<uint64_t>(b->offset.low);
        uint64_t far = std::max(magnitude(b->offset.low), magnitude(b->offset.high));
        if (width <= share && far <= share) continue;
        log_limited(event::kWideOffset, Severity::kWarning, [&] {
            const char *how = width > share && far > share ? " is wider and further from 0"
                              : width > share                  ? " is wider"
                                                               : " is further from 0";
            return "machine " + std::to_string(m) + ": its " + offset() + how +
                   " than a tenth of the deadline of registration " + std::to_string(v.notice.seq) + " (" +
                   std::to_string(v.deadlineAfterStart) + " ns): the clocks may not decide its verdicts";
        });
    }
}

}  // namespace

void VerdictDelivery::deliver(BaseTime now) {
    for (const Verdict &v : service_.take_due(now)) {
        stats_.count(v.notice, v.undecidable, now);
        tell_clocks(v);
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
