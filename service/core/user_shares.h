// user_shares.h: how much of a limited table each user may hold.
//
// The connections (64) and the pending registrations (4096) are shared by
// every member of the access group. Without a rule, one user that takes them
// all refuses everyone else. So each non-root user holds at most a share of
// the whole, the non-root users together at most the whole less a reserve,
// and root may use everything, the reserve included: a misbehaving user can
// fill its own share and, with a few others, the non-root part, but never
// root's reserve, so root's clients still connect and register.
//
// What a connection's things are charged to is its account: the uid of its
// owner as the look for the holders of /dev/rtf1 told it (device_holders.h),
// or, when that look could not tell one user (several held /dev/rtf1 at
// once), the one account of unknown owners. That account has a user's share
// and counts as non-root: a root client that connects while another user
// holds /dev/rtf1 is charged to it and cannot use root's reserve, and the
// users that hold /dev/rtf1 while others connect share its place among the
// non-root users. A user that may run several uids holds a share for each.
//
// Pure bookkeeping: the caller asks before it takes and gives back what it
// took.
#ifndef NORVD_USER_SHARES_H
#define NORVD_USER_SHARES_H

#include <sys/types.h>

#include <compare>
#include <cstddef>
#include <map>
#include <string>

namespace norvd {

// Whose a connection is, for its shares. A default one is the unknown
// owner's: what norvd cannot tell is never root's.
struct Account {
    bool known = false;
    uid_t uid = 0;

    static Account of(uid_t uid) { return Account{true, uid}; }
    static Account unknown() { return Account{}; }
    bool root() const { return known && uid == 0; }
    // "uid 1000", or "the unknown owner".
    std::string name() const;

    friend auto operator<=>(const Account &, const Account &) = default;
};

struct ShareLimits {
    size_t total;        // held by all accounts together
    size_t perUser;      // held by one account other than root's
    size_t rootReserve;  // of the total, what only root may hold
};

// A non-root uid holds at most 16 of the 64 connections, the non-root users
// together 56, so that root keeps 8.
constexpr ShareLimits kConnectionShares{64, 16, 8};
// A non-root uid holds at most 1024 of the 4096 pending registrations, the
// non-root users together 3584, so that root keeps 512.
constexpr ShareLimits kRegistrationShares{4096, 1024, 512};

class UserShares {
public:
    enum class Refusal {
        kNone,
        kFull,         // the whole is held
        kOwnShare,     // the account holds its share
        kOthersShare,  // the non-root accounts together hold theirs
    };

    explicit UserShares(ShareLimits limits) : limits_(limits) {}

    // Whether `account` may take one more, and if not, why.
    Refusal may_take(const Account &account) const;
    // Takes one for `account`; the caller asked may_take first.
    void take(const Account &account);
    // Gives one back (no effect when `account` holds none).
    void give_back(const Account &account);

    size_t held(const Account &account) const;
    size_t held() const { return total_; }
    size_t held_by_non_root() const { return nonRoot_; }
    const ShareLimits &limits() const { return limits_; }

    // The refusal of `account` for the log, `things` naming what is shared:
    // e.g. "uid 1000 holds 16 connections, its share of the 64".
    std::string why(Refusal refusal, const Account &account, const std::string &things) const;

private:
    ShareLimits limits_;
    std::map<Account, size_t> held_;  // accounts that hold any
    size_t total_ = 0, nonRoot_ = 0;
};

}  // namespace norvd

#endif  // NORVD_USER_SHARES_H
