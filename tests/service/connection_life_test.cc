// When a connection's channel number may be given again: the answer queue
// of the connect device and the reclaim rules, as scripted cases.
#include <gtest/gtest.h>

#include <vector>

#include "core/connection_life.h"

namespace norvd {
namespace {

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kS = 1'000 * kMs;

// A time on the base clock, `ns` after its zero.
constexpr BaseTime at(uint64_t ns) { return BaseTime(ns); }

// One look at both devices of channel 0 at `at`, then the verdict at `ask`.
struct Looks {
    const char *what;
    bool requestsRead;  // requests were read first, at `at`
    bool requestHeld, noticeHeld;
    BaseTime at, ask;
    Reclaim expected;
};

TEST(ConnectionLifeTest, ReclaimRulesOnceTheAnswerWasRead) {
    const Looks cases[] = {
        {"held request device", false, true, false, at(1 * kS), at(100 * kS), Reclaim::kKeep},
        {"held notice device", false, false, true, at(1 * kS), at(100 * kS), Reclaim::kKeep},
        {"closed 49 ms ago", true, false, false, at(1 * kS), at(1 * kS + 49 * kMs), Reclaim::kKeep},
        {"closed 50 ms ago", true, false, false, at(1 * kS), at(1 * kS + 50 * kMs), Reclaim::kClosed},
        // Never seen used: a client that never opened it, or whose closes
        // went unseen (events lost when inotify's queue overflowed).
        {"never seen, read 9.9 s ago", false, false, false, at(1 * kS), at(10 * kS - 1), Reclaim::kKeep},
        {"never seen, read 10 s ago", false, false, false, at(1 * kS), at(10 * kS), Reclaim::kUnopened},
    };
    for (const Looks &c : cases) {
        SCOPED_TRACE(c.what);
        ConnectionLife life;
        life.answered(0);
        // A client took the 4 bytes of the answer before norvd read back nothing.
        EXPECT_TRUE(life.answers_taken_back(0, at(0)).empty());
        if (c.requestsRead) life.requests_read(0, c.at);
        life.seen(0, Device::kRequest, c.requestHeld, c.at);
        life.seen(0, Device::kNotice, c.noticeHeld, c.at);
        EXPECT_EQ(life.verdict(0, c.ask), c.expected);
        // Held devices change by events only: no timer may ask again and again.
        if (c.requestHeld || c.noticeHeld) {
            EXPECT_FALSE(life.next_due());
        }
        bool isDue = !life.due(c.ask).empty();
        EXPECT_EQ(isDue, c.expected != Reclaim::kKeep);
    }
}

TEST(ConnectionLifeTest, AnUnreadAnswerKeepsItsChannelForever) {
    ConnectionLife life;
    life.answered(0);
    life.seen(0, Device::kRequest, false, at(0));
    life.seen(0, Device::kNotice, false, at(0));
    EXPECT_EQ(life.verdict(0, at(3600 * kS)), Reclaim::kKeep);
    EXPECT_TRUE(life.due(at(3600 * kS)).empty());
    EXPECT_FALSE(life.next_due());
}

// A client holds the connect device for good; another is killed
// between its command 0 and its read; after a long quiet, clients come one
// by one: each reads the answer before its own and uses that channel, and
// no channel whose answer is unread ever becomes free.
TEST(ConnectionLifeTest, ClientKilledBeforeReadingShiftsTheAnswers) {
    ConnectionLife life;
    life.answered(0);  // the killed client's
    EXPECT_EQ(life.verdict(0, at(30 * kS)), Reclaim::kKeep);
    BaseTime t = at(30 * kS);
    int previous = 0;
    for (int channel : {2, 4, 6, 8}) {
        life.answered(channel);
        // This client read `previous` and uses it.
        life.requests_read(previous, t);
        life.seen(previous, Device::kRequest, true, t);
        EXPECT_EQ(life.unread_answers(), 1u);
        EXPECT_TRUE(life.queued(channel));
        EXPECT_FALSE(life.queued(previous));
        // Its own answer waits for the next client, however long that takes.
        life.seen(channel, Device::kRequest, false, t);
        life.seen(channel, Device::kNotice, false, t);
        EXPECT_EQ(life.verdict(channel, t + 60 * kS), Reclaim::kKeep);
        // The client leaves: its channel goes 50 ms later.
        life.seen(previous, Device::kRequest, false, t + kS);
        life.seen(previous, Device::kNotice, false, t + kS);
        EXPECT_EQ(life.verdict(previous, t + kS + 50 * kMs), Reclaim::kClosed);
        life.forget(previous);
        previous = channel;
        t += 2 * kS;
    }
}

struct TakeBack {
    const char *what;
    std::vector<int> answers;  // in the order written; < 0: a refusal
    size_t bytesTakenBack;
    std::vector<int> never;  // channels whose answer nobody read
};

TEST(ConnectionLifeTest, AnswersTakenBackFromAnIdleDevice) {
    const TakeBack cases[] = {
        {"all unread", {0, 2}, 8, {0, 2}},
        // A client that opened the device between norvd's look and its
        // taking back read the first answer meanwhile.
        {"first read", {0, 2}, 4, {2}},
        {"first read in part", {0, 2}, 6, {2}},
        {"all read", {0, 2}, 0, {}},
        {"a refusal before", {-1, 0}, 4, {0}},
        {"a refusal after", {0, -1}, 8, {0}},
        {"more than written", {0}, 12, {0}},
    };
    for (const TakeBack &c : cases) {
        SCOPED_TRACE(c.what);
        ConnectionLife life;
        for (int a : c.answers) life.answered(a);
        EXPECT_EQ(life.answers_taken_back(c.bytesTakenBack, at(5 * kS)), c.never);
        EXPECT_EQ(life.unread_answers(), 0u);
        for (int a : c.answers) {
            if (a < 0) continue;
            bool never = std::find(c.never.begin(), c.never.end(), a) != c.never.end();
            life.seen(a, Device::kRequest, false, at(5 * kS));
            life.seen(a, Device::kNotice, false, at(5 * kS));
            // Taken back: free at once. Read: the client has 10 s to open it.
            EXPECT_EQ(life.verdict(a, at(5 * kS)), never ? Reclaim::kAnswerTakenBack : Reclaim::kKeep);
            if (!never) {
                EXPECT_EQ(life.verdict(a, at(15 * kS)), Reclaim::kUnopened);
            }
        }
    }
}

// Clients read answers in order: a connection in use tells that every
// answer written before its own has been read.
TEST(ConnectionLifeTest, UseOfALaterChannelMarksEarlierAnswersRead) {
    ConnectionLife life;
    life.answered(0);
    life.answered(2);
    life.answered(4);
    life.seen(2, Device::kNotice, true, at(1 * kS));
    EXPECT_FALSE(life.queued(0));
    EXPECT_FALSE(life.queued(2));
    EXPECT_TRUE(life.queued(4));
    life.seen(0, Device::kRequest, false, at(1 * kS));
    life.seen(0, Device::kNotice, false, at(1 * kS));
    EXPECT_EQ(life.verdict(0, at(11 * kS)), Reclaim::kUnopened);
    ASSERT_TRUE(life.next_due());
    EXPECT_EQ(*life.next_due(), at(11 * kS));
}

// A connection ended by command 1 while its answer still stands unread (a
// client that guessed the number): the number stays out of use until the
// answer has gone.
TEST(ConnectionLifeTest, AnEndedChannelStaysQueuedUntilItsAnswerGoes) {
    ConnectionLife life;
    life.answered(0);
    life.forget(0);
    EXPECT_TRUE(life.queued(0));
    EXPECT_TRUE(life.answers_taken_back(4, at(0)).empty());
    EXPECT_FALSE(life.queued(0));
}

}  // namespace
}  // namespace norvd
