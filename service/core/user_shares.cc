// user_shares.cc: the shares of the connections and registrations.
#include "core/user_shares.h"

#include <algorithm>

namespace norvd {

std::string Account::name() const {
    return known ? "uid " + std::to_string(uid) : "the unknown owner";
}

UserShares::Refusal UserShares::may_take(const Account &account) const {
    if (total_ >= limits_.total) return Refusal::kFull;
    if (account.root()) return Refusal::kNone;
    if (held(account) >= limits_.perUser) return Refusal::kOwnShare;
    if (nonRoot_ >= limits_.total - std::min(limits_.rootReserve, limits_.total))
        return Refusal::kOthersShare;
    return Refusal::kNone;
}

void UserShares::take(const Account &account) {
    ++held_[account];
    ++total_;
    if (!account.root()) ++nonRoot_;
}

void UserShares::give_back(const Account &account) {
    auto it = held_.find(account);
    if (it == held_.end()) return;
    if (--it->second == 0) held_.erase(it);
    --total_;
    if (!account.root()) --nonRoot_;
}

size_t UserShares::held(const Account &account) const {
    auto it = held_.find(account);
    return it == held_.end() ? 0 : it->second;
}

std::string UserShares::why(Refusal refusal, const Account &account, const std::string &things) const {
    std::string holds = account.name() + " holds " + std::to_string(held(account)) + " " + things;
    std::string whole = std::to_string(limits_.total);
    switch (refusal) {
    case Refusal::kNone:
        break;
    case Refusal::kFull:
        return holds + " and all " + whole + " are held";
    case Refusal::kOwnShare:
        return holds + ", its share of the " + whole;
    case Refusal::kOthersShare:
        return holds + " and the users other than root " + std::to_string(nonRoot_) +
               ", their share of the " + whole + " (" + std::to_string(limits_.rootReserve) + " are root's)";
    }
    return holds;
}

}  // namespace norvd
