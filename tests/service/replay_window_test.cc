// The window of sequence numbers that keeps a peer's message from counting twice.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "core/replay_window.h"

namespace norvd {
namespace {

using V = ReplayWindow::Verdict;

TEST(ReplayWindow, OneSendersMessagesInTurn) {
    // Each row is the next message of the same sender, judged after all rows
    // above it.
    struct Row {
        const char *what;
        uint64_t epoch, seq;
        V verdict;
    } rows[] = {
        {"first message ever heard", 100, 1, V::kNewEpoch},
        {"in order", 100, 2, V::kNew},
        {"duplicate of the latest", 100, 2, V::kDuplicate},
        {"duplicate of the first", 100, 1, V::kDuplicate},
        {"gap ahead", 100, 10, V::kNew},
        {"reordered within the window", 100, 5, V::kNew},
        {"reordered, then its duplicate", 100, 5, V::kDuplicate},
        {"far ahead: the window slides by 63", 100, 73, V::kNew},
        {"last number inside the window", 100, 10, V::kDuplicate},
        {"unseen, at the window's far edge", 100, 11, V::kNew},
        {"just behind the window", 100, 9, V::kTooOld},
        {"long behind the window", 100, 1, V::kTooOld},
        {"a jump past the window's width", 100, 1000, V::kNew},
        {"what the jump left behind", 100, 73, V::kTooOld},
        {"below the jump, still within", 100, 937, V::kNew},
        {"old epoch", 99, 2000, V::kOldEpoch},
        {"new epoch resets the window", 200, 1, V::kNewEpoch},
        {"the new epoch in order", 200, 2, V::kNew},
        {"the epoch before, any number", 100, 1001, V::kOldEpoch},
        {"a number of the new epoch again", 200, 1, V::kDuplicate},
        {"a new epoch may start anywhere", 300, 50, V::kNewEpoch},
        {"and reorder below its start", 300, 49, V::kNew},
        {"largest numbers", 300, UINT64_MAX, V::kNew},
        {"largest, again", 300, UINT64_MAX, V::kDuplicate},
        {"one below the largest", 300, UINT64_MAX - 1, V::kNew},
        {"largest epoch", UINT64_MAX, 0, V::kNewEpoch},
    };
    ReplayWindow w;
    EXPECT_FALSE(w.heard());
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(w.admit(r.epoch, r.seq), r.verdict);
        EXPECT_TRUE(w.heard());
    }
    EXPECT_EQ(w.epoch(), UINT64_MAX);
}

// Against a model that remembers every number: within one epoch a number is
// taken once, and only while it is less than kWidth below the highest taken;
// further below, it is too old whether it was taken or not.
TEST(ReplayWindow, AgreesWithAModelThatRemembersEverything) {
    std::mt19937_64 rng(1313);
    for (int round = 0; round < 50; ++round) {
        ReplayWindow w;
        std::set<uint64_t> taken;
        uint64_t epoch = 7, highest = 0;
        for (int i = 0; i < 2000; ++i) {
            uint64_t seq;
            switch (rng() % 4) {
            case 0:
                seq = highest + 1 + rng() % 3;  // in order or a little ahead
                break;
            case 1:
                seq = highest + rng() % 100;  // far ahead now and then
                break;
            default:
                seq = highest > 80 ? highest - rng() % 80 : rng() % 80;  // around the window's edge
                break;
            }
            V got = w.admit(epoch, seq);
            V want;
            if (taken.empty())
                want = V::kNewEpoch;
            else if (seq + ReplayWindow::kWidth <= highest)
                want = V::kTooOld;  // taken before or not, it can no longer be told
            else if (taken.count(seq))
                want = V::kDuplicate;
            else
                want = V::kNew;
            ASSERT_EQ(got, want) << "round " << round << " message " << i << " seq " << seq;
            if (accepted(got)) {
                taken.insert(seq);
                highest = std::max(highest, seq);
            }
        }
    }
}

}  // namespace
}  // namespace norvd
