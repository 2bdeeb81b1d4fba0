// registrations.cc: the pending registrations, their verdicts and the log of
// accepted receipts.
#include "core/registrations.h"

namespace norvd {

static BaseTime sat_add(BaseTime a, uint64_t b) { return a.ns > UINT64_MAX - b ? BaseTime(UINT64_MAX) : a + b; }

MachineVerdict judge(bool expected, std::optional<BaseTime> receipt, BaseTime deadline) {
    MachineVerdict v{};
    if (!expected) {
        v.status = kNothingToReport;
        return v;
    }
    if (!receipt) {
        v.status = kTimingFailure;  // no receipt: lateness unknown
        return v;
    }
    v.latenessKnown = 1;
    if (*receipt <= deadline) {
        v.status = kTimely;
        uint64_t us = (deadline - *receipt) / 1000;
        v.lateness = us > INT32_MAX ? -INT32_MAX : -static_cast<int32_t>(us);
    } else {
        v.status = kTimingFailure;
        uint64_t late = *receipt - deadline;
        uint64_t us = late / 1000 + (late % 1000 != 0 ? 1 : 0);
        v.lateness = us > INT32_MAX ? INT32_MAX : static_cast<int32_t>(us);
    }
    return v;
}

bool undecidable_by_clocks(const std::optional<ReceiptBounds> &bounds, BaseTime deadline) {
    return !bounds || (bounds->earliest <= deadline && deadline < bounds->latest);
}

std::string describe(const FailureNotice &notice) {
    std::string out;
    for (size_t i = 0; i < MAX_MACHINES; ++i) {
        const MachineVerdict &v = notice.verdicts[i];
        if (v.status == kNothingToReport) continue;
        if (!out.empty()) out += ", ";
        out += "machine " + std::to_string(i);
        if (v.status == kTimingFailure)
            out += v.latenessKnown == 1 ? " late (+" + std::to_string(v.lateness) + " us)"
                                        : " missing";
        else
            out += " timely (" + std::to_string(v.lateness) + " us)";
    }
    return out.empty() ? "no machine to report" : out;
}

Registrations::Registrations(uint8_t localId, uint8_t groupMask, ShareLimits shares, uint64_t graceNs,
                             int32_t lastSequence)
    : local_(localId), group_(groupMask), shares_(shares), grace_(graceNs),
      lastSequence_(lastSequence) {}

int32_t Registrations::add(int connection, const Account &account, uint8_t expected,
                           uint64_t deadlineAfterStart, BaseTime deadline) {
    uint8_t inGroup = expected & group_;
    if (inGroup == 0 || deadlineAfterStart == 0) {
        ++refused_;
        return NORV_REFUSED_NO_RECEIVER;
    }
    if (shares_.may_take(account) != UserShares::Refusal::kNone) {
        ++refused_;
        return NORV_REFUSED_TABLE_FULL;
    }
    ++made_;
    // Next free sequence number; the table is far smaller than the sequence
    // space, so the search ends quickly.
    int32_t id;
    do {
        lastSequence_ = lastSequence_ >= kIdSequenceMask ? 1 : lastSequence_ + 1;
        id = (static_cast<int32_t>(local_) << kIdMachineShift) | lastSequence_;
    } while (pending_.count(id) != 0);
    DueKey due{sat_add(deadline, grace_), ++events_};
    pending_[id] = Pending{connection, account, inGroup, deadlineAfterStart, deadline, due, {}, {}};
    byDue_.emplace(due, id);
    shares_.take(account);
    return id;
}

Registrations::Receipt Registrations::record(int32_t id, uint8_t machine, BaseTime at,
                                             BaseTime reached, std::optional<ReceiptBounds> bounds) {
    auto it = pending_.find(id);
    if (it == pending_.end()) return Receipt::kUnknown;
    if (machine >= MAX_MACHINES || !(it->second.expected & (1u << machine)))
        return Receipt::kNotExpected;
    Pending &p = it->second;
    if (reached > sat_add(p.deadline, grace_)) return Receipt::kTooLate;
    auto &slot = p.receipts[machine];
    if (slot) return Receipt::kRepeated;
    slot = at;
    p.bounds[machine] = bounds;
    if (all_reported(p)) {
        // Complete: due at once, behind the registrations completed before.
        byDue_.erase(p.due);
        p.due = DueKey{BaseTime(0), ++events_};
        byDue_.emplace(p.due, id);
    }
    return Receipt::kRecorded;
}

bool Registrations::all_reported(const Pending &p) const {
    for (size_t i = 0; i < MAX_MACHINES; ++i)
        if ((p.expected & (1u << i)) && !p.receipts[i]) return false;
    return true;
}

Verdict Registrations::judge_all(int32_t id, const Pending &p) const {
    Verdict out{p.connection, FailureNotice{}, p.deadlineAfterStart, p.deadline};
    out.notice.sender = local_;
    out.notice.seq = static_cast<uint32_t>(id);
    for (size_t i = 0; i < MAX_MACHINES; ++i) {
        out.notice.verdicts[i] = judge((p.expected & (1u << i)) != 0, p.receipts[i], p.deadline);
        if (!p.receipts[i]) continue;
        out.bounds[i] = p.bounds[i];
        if (undecidable_by_clocks(p.bounds[i], p.deadline)) out.undecidable |= static_cast<uint8_t>(1u << i);
    }
    return out;
}

std::vector<Verdict> Registrations::take_due(BaseTime now) {
    std::vector<Verdict> out;
    while (!byDue_.empty() && byDue_.begin()->first.first <= now) {
        auto it = pending_.find(byDue_.begin()->second);
        out.push_back(judge_all(it->first, it->second));
        shares_.give_back(it->second.account);
        pending_.erase(it);
        byDue_.erase(byDue_.begin());
    }
    return out;
}

std::optional<BaseTime> Registrations::next_due() const {
    if (byDue_.empty()) return std::nullopt;
    return byDue_.begin()->first.first;
}

std::vector<int32_t> Registrations::pending_ids() const {
    std::vector<int32_t> ids;
    for (const auto &entry : pending_) ids.push_back(entry.first);
    return ids;
}

std::map<int, size_t> Registrations::pending_by_connection() const {
    std::map<int, size_t> out;
    for (const auto &entry : pending_) ++out[entry.second.connection];
    return out;
}

size_t Registrations::drop_connection(int connection) {
    size_t dropped = 0;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->second.connection == connection) {
            byDue_.erase(it->second.due);
            shares_.give_back(it->second.account);
            it = pending_.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

bool ReceiptLog::first_time(uint8_t sender, int32_t id) {
    auto key = std::make_pair(sender, id);
    if (!seen_.insert(key).second) return false;
    order_.push_back(key);
    if (order_.size() > capacity_) {
        seen_.erase(order_.front());
        order_.pop_front();
    }
    return true;
}

}  // namespace norvd
