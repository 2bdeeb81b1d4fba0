// The shares of a limited table: each user's, the non-root users' together,
// and root's reserve.
#include <gtest/gtest.h>

#include "core/user_shares.h"

namespace norvd {
namespace {

using Refusal = UserShares::Refusal;

const Account kRoot = Account::of(0), kAlice = Account::of(1000), kBob = Account::of(1001),
              kCarol = Account::of(1002), kUnknown = Account::unknown();

// 10 in all, 3 for each user, 7 for the users together, 3 for root alone.
constexpr ShareLimits kLimits{10, 3, 3};

TEST(UserShares, TakeAndGiveBack) {
    enum Op {
        kTake,  // `times` times: may_take answers `want`, then takes when it may
        kGive,  // gives back `times` times
        kAsk,   // may_take answers `want`
    };
    struct Step {
        Op op;
        Account who;
        int times;
        Refusal want;
    };
    struct Row {
        const char *what;
        std::vector<Step> steps;
        size_t held, nonRoot;  // at the end
    } rows[] = {
        {"a user up to its share, others unhindered",
         {{kTake, kAlice, 3, Refusal::kNone}, {kTake, kAlice, 1, Refusal::kOwnShare},
          {kTake, kBob, 3, Refusal::kNone}},
         6, 6},
        {"the users together up to the total less root's reserve",
         {{kTake, kAlice, 3, Refusal::kNone}, {kTake, kBob, 3, Refusal::kNone},
          {kTake, kCarol, 1, Refusal::kNone}, {kTake, kCarol, 1, Refusal::kOthersShare}},
         7, 7},
        {"root uses its reserve once the users hold theirs, then the table is full for all",
         {{kTake, kAlice, 3, Refusal::kNone}, {kTake, kBob, 3, Refusal::kNone},
          {kTake, kCarol, 1, Refusal::kNone}, {kTake, kRoot, 3, Refusal::kNone},
          {kTake, kRoot, 1, Refusal::kFull}, {kTake, kCarol, 1, Refusal::kFull}},
         10, 7},
        {"root may hold everything, and what it holds beyond its reserve is the users' loss",
         {{kTake, kRoot, 8, Refusal::kNone}, {kTake, kAlice, 2, Refusal::kNone},
          {kTake, kAlice, 1, Refusal::kFull}, {kTake, kRoot, 1, Refusal::kFull}},
         10, 2},
        {"the unknown owner has a user's share, and no part of root's reserve",
         {{kTake, kUnknown, 3, Refusal::kNone}, {kTake, kUnknown, 1, Refusal::kOwnShare},
          {kTake, kAlice, 3, Refusal::kNone}, {kTake, kBob, 1, Refusal::kNone},
          {kTake, kBob, 1, Refusal::kOthersShare}, {kTake, kRoot, 1, Refusal::kNone}},
         8, 7},
        {"a user that gives one back may take it again",
         {{kTake, kAlice, 3, Refusal::kNone}, {kGive, kAlice, 1, Refusal::kNone},
          {kAsk, kAlice, 1, Refusal::kNone}, {kTake, kAlice, 1, Refusal::kNone},
          {kTake, kAlice, 1, Refusal::kOwnShare}},
         3, 3},
        {"what one user gives back, another one takes",
         {{kTake, kAlice, 3, Refusal::kNone}, {kTake, kBob, 3, Refusal::kNone},
          {kTake, kUnknown, 1, Refusal::kNone}, {kAsk, kCarol, 1, Refusal::kOthersShare},
          {kGive, kAlice, 1, Refusal::kNone}, {kTake, kCarol, 1, Refusal::kNone}},
         7, 7},
        {"root's give-back frees the whole, not the users' part",
         {{kTake, kRoot, 10, Refusal::kNone}, {kGive, kRoot, 4, Refusal::kNone},
          {kTake, kAlice, 3, Refusal::kNone}, {kTake, kBob, 1, Refusal::kNone},
          {kTake, kBob, 1, Refusal::kFull}},
         10, 4},
        {"giving back what an account does not hold changes nothing",
         {{kTake, kAlice, 3, Refusal::kNone}, {kGive, kBob, 2, Refusal::kNone},
          {kGive, kRoot, 1, Refusal::kNone}, {kTake, kAlice, 1, Refusal::kOwnShare}},
         3, 3},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        UserShares shares(kLimits);
        for (const Step &s : r.steps) {
            for (int i = 0; i < s.times; ++i) {
                if (s.op == kGive) {
                    shares.give_back(s.who);
                    continue;
                }
                Refusal got = shares.may_take(s.who);
                ASSERT_EQ(got, s.want)
                    << s.who.name() << ", step " << &s - r.steps.data() << ", time " << i + 1;
                if (s.op == kTake && got == Refusal::kNone) shares.take(s.who);
            }
        }
        EXPECT_EQ(shares.held(), r.held);
        EXPECT_EQ(shares.held_by_non_root(), r.nonRoot);
        size_t sum = 0;
        for (const Account &a : {kRoot, kAlice, kBob, kCarol, kUnknown}) sum += shares.held(a);
        EXPECT_EQ(sum, r.held);
    }
}

TEST(UserShares, TheRefusalNamesTheAccountAndTheShare) {
    UserShares shares(kLimits);
    for (int i = 0; i < 3; ++i) shares.take(kAlice);
    for (int i = 0; i < 3; ++i) shares.take(kUnknown);
    shares.take(kBob);
    EXPECT_EQ(shares.why(shares.may_take(kAlice), kAlice, "connections"),
              "uid 1000 holds 3 connections, its share of the 10");
    EXPECT_EQ(shares.why(shares.may_take(kUnknown), kUnknown, "connections"),
              "the unknown owner holds 3 connections, its share of the 10");
    EXPECT_EQ(shares.why(shares.may_take(kCarol), kCarol, "connections"),
              "uid 1002 holds 0 connections and the users other than root 7, their share of the 10 "
              "(3 are root's)");
    for (int i = 0; i < 3; ++i) shares.take(kRoot);
    EXPECT_EQ(shares.why(shares.may_take(kRoot), kRoot, "connections"),
              "uid 0 holds 3 connections and all 10 are held");
}

}  // namespace
}  // namespace norvd
