// The event loop over real descriptors: which handler an event reaches (and
// which it must not, once its descriptor is unwatched or its number reused
// within the batch), the wait until the earliest deadline, the order of a
// turn and stop. Time is a fake clock: nothing here depends on the speed of
// the machine.
#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "loop/event_loop.h"

namespace norvd {
namespace {

using norv::Fd;

Fd new_eventfd() { return Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)); }
void make_ready(int fd) {
    uint64_t one = 1;
    ASSERT_EQ(write(fd, &one, sizeof one), static_cast<ssize_t>(sizeof one));
}
void consume(int fd) {
    uint64_t count;
    (void)!read(fd, &count, sizeof count);
}

// A loop on a fake clock that runs one turn at a time: a deadline always
// due keeps its waits from blocking, and a hook added after the test's own
// stops it at the end of the turn.
class Harness {
public:
    explicit Harness(int catchUpRounds = 8) {
        std::string why;
        loop = EventLoop::create([this] { return now; }, catchUpRounds, why);
        EXPECT_NE(loop, nullptr) << why;
        loop->add_deadline([](BaseTime at) { return std::optional(at); });
    }
    Harness(const Harness &) = delete;
    void turn() {
        if (!stopHook_) {
            loop->add_after_turn([this](const EventLoop::Turn &) { loop->stop(); });
            stopHook_ = true;
        }
        EXPECT_TRUE(loop->run());
    }

    BaseTime now{1000};
    std::unique_ptr<EventLoop> loop;
    std::vector<std::string> calls;

private:
    bool stopHook_ = false;
};

TEST(EventLoop, HandlersGetTheEventsOfTheirDescriptor) {
    struct Row {
        const char *name;
        uint32_t watched;
        uint32_t expected;  // 0: the handler must not be called
    };
    const Row rows[] = {
        {"eventfd written", EventLoop::kReadable, EventLoop::kReadable},
        {"eventfd not written", EventLoop::kReadable, 0},
        {"pipe whose writer closed", EventLoop::kReadable, EventLoop::kHangUp},
        {"socket with room", EventLoop::kWritable, EventLoop::kWritable},
        {"socket with room, readable asked", EventLoop::kReadable, 0},
        // Never consumed, and told once all the same.
        {"eventfd written, edge-triggered", EventLoop::kReadable | EventLoop::kEdge, EventLoop::kReadable},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        Fd fd, other;
        std::string name = row.name;
        if (name.rfind("eventfd", 0) == 0) {
            fd = new_eventfd();
            if (name.find("not written") == std::string::npos) make_ready(fd.get());
        } else if (name.rfind("pipe", 0) == 0) {
            int p[2];
            ASSERT_EQ(pipe(p), 0);
            fd.reset(p[0]);
            close(p[1]);
        } else {
            int s[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, s), 0);
            fd.reset(s[0]);
            other.reset(s[1]);
        }
        ASSERT_TRUE(fd.valid());
        std::vector<uint32_t> got;
        // A level-triggered event comes again in each round until it is
        // consumed: the handler unwatches its own descriptor instead, and
        // goes on using what it holds (the loop keeps it until it returns).
        ASSERT_TRUE(h.loop->watch(fd.get(), row.watched, [&](uint32_t events) {
            if (!(row.watched & EventLoop::kEdge)) h.loop->unwatch(fd.get());
            got.push_back(events);
        }));
        h.turn();
        if (row.expected == 0) {
            EXPECT_TRUE(got.empty());
        } else {
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0] & row.expected, row.expected);
        }
    }
}

TEST(EventLoop, ChangeSwitchesTheEventsWatched) {
    Harness h;
    int s[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, s), 0);
    Fd a(s[0]), b(s[1]);
    int called = 0;
    ASSERT_TRUE(h.loop->watch(a.get(), EventLoop::kReadable, [&](uint32_t events) {
        EXPECT_TRUE(events & EventLoop::kWritable);
        ++called;
        h.loop->change(a.get(), 0);
    }));
    h.turn();
    EXPECT_EQ(called, 0);
    // The events of the changed watch still reach its handler.
    ASSERT_TRUE(h.loop->change(a.get(), EventLoop::kWritable));
    h.turn();
    EXPECT_EQ(called, 1);
    // Changed to none: writable still, and not told.
    h.turn();
    EXPECT_EQ(called, 1);
    EXPECT_FALSE(h.loop->change(b.get(), EventLoop::kReadable));  // not watched
}

TEST(EventLoop, UnwatchDropsTheEventsPendingInTheBatch) {
    Harness h;
    Fd x = new_eventfd(), y = new_eventfd();
    int xCalls = 0, yCalls = 0;
    // Whichever runs first stops the other, whose event is in the same batch.
    ASSERT_TRUE(h.loop->watch(x.get(), EventLoop::kReadable, [&](uint32_t) {
        ++xCalls;
        consume(x.get());
        h.loop->unwatch(y.get());
    }));
    ASSERT_TRUE(h.loop->watch(y.get(), EventLoop::kReadable, [&](uint32_t) {
        ++yCalls;
        consume(y.get());
        h.loop->unwatch(x.get());
    }));
    make_ready(x.get());
    make_ready(y.get());
    h.turn();
    EXPECT_EQ(xCalls + yCalls, 1);
    // The one unwatched is still readable, and stays unheard.
    h.turn();
    EXPECT_EQ(xCalls + yCalls, 1);
    // A descriptor may be watched again once unwatched.
    int &stopped = xCalls == 0 ? xCalls : yCalls;
    Fd &stoppedFd = xCalls == 0 ? x : y;
    ASSERT_TRUE(h.loop->watch(stoppedFd.get(), EventLoop::kReadable, [&](uint32_t) {
        ++stopped;
        consume(stoppedFd.get());
    }));
    h.turn();
    EXPECT_EQ(stopped, 1);
}

// A handler closes another descriptor whose event is pending in the batch,
// and a new descriptor takes its number and is watched: the old event must
// not reach the new handler.
TEST(EventLoop, ReusedNumberGetsNoEventOfTheClosedDescriptor) {
    for (bool unwatchFirst : {true, false}) {
        SCOPED_TRACE(unwatchFirst ? "unwatched, then closed" : "closed while watched");
        Harness h;
        Fd fds[2] = {new_eventfd(), new_eventfd()};
        int oldCalls[2] = {0, 0}, newCalls[2] = {0, 0};
        bool replaced = false;
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(h.loop->watch(fds[i].get(), EventLoop::kReadable, [&, i](uint32_t) {
                ++oldCalls[i];
                consume(fds[i].get());
                if (replaced) return;
                replaced = true;
                int j = 1 - i, number = fds[j].get();
                if (unwatchFirst) h.loop->unwatch(number);
                fds[j].reset();
                fds[j] = new_eventfd();
                ASSERT_EQ(fds[j].get(), number);  // the case under test needs the same number
                ASSERT_TRUE(h.loop->watch(number, EventLoop::kReadable, [&, j](uint32_t) {
                    ++newCalls[j];
                    consume(fds[j].get());
                }));
            }));
        }
        make_ready(fds[0].get());
        make_ready(fds[1].get());
        h.turn();
        ASSERT_TRUE(replaced);
        EXPECT_EQ(oldCalls[0] + oldCalls[1], 1);
        EXPECT_EQ(newCalls[0] + newCalls[1], 0);
        // The new descriptor's own events reach it.
        int j = oldCalls[0] == 1 ? 1 : 0;
        make_ready(fds[j].get());
        h.turn();
        EXPECT_EQ(newCalls[j], 1);
    }
}

TEST(EventLoop, WaitLastsUntilTheEarliestDeadline) {
    static constexpr BaseTime kNow{5'000'000'000};
    struct Row {
        const char *name;
        std::vector<std::optional<int64_t>> dues;  // from now, in ns
        int expected;
    };
    const Row rows[] = {
        {"no deadline", {}, -1},
        {"none due", {std::nullopt, std::nullopt}, -1},
        {"rounded up", {1'500'000}, 2},
        {"whole ms", {1'000'000}, 1},
        {"1 ns", {1}, 1},
        {"due now", {0}, 0},
        {"past", {-3'000'000}, 0},
        {"earliest last", {5'000'000, std::nullopt, 9'000'000, 2'000'000}, 2},
        {"earliest first", {2'000'000, 9'000'000, 5'000'000}, 2},
        {"past among others", {9'000'000, -1, std::nullopt}, 0},
        {"beyond an int of ms", {int64_t{1} << 62}, INT_MAX},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::string why;
        auto loop = EventLoop::create([] { return kNow; }, 8, why);
        ASSERT_NE(loop, nullptr) << why;
        for (auto due : row.dues)
            loop->add_deadline([due](BaseTime now) -> std::optional<BaseTime> {
                EXPECT_EQ(now, kNow);
                if (!due) return std::nullopt;
                return now + static_cast<uint64_t>(*due);
            });
        EXPECT_EQ(loop->timeout_ms(kNow), row.expected);
    }
}

// A turn: the wake hooks, the batch, the catch-up rounds (two here) with
// the time before the last one, the after-turn hooks in the order added.
TEST(EventLoop, TurnRunsInItsStatedOrder) {
    Harness h(2);
    Fd chain[4] = {new_eventfd(), new_eventfd(), new_eventfd(), new_eventfd()};
    // Each handler of the chain moves the clock on and readies the next.
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(h.loop->watch(chain[i].get(), EventLoop::kReadable, [&, i](uint32_t) {
            consume(chain[i].get());
            h.calls.push_back(std::string(1, static_cast<char>('a' + i)));
            h.now = BaseTime(100 * (i + 1));
            if (i < 3) make_ready(chain[i + 1].get());
        }));
    h.loop->add_wake_hook([&] { h.calls.push_back("wake"); });
    h.loop->add_after_turn([&](const EventLoop::Turn &t) {
        h.calls.push_back("first " + std::to_string(t.seen.ns) + " " + std::to_string(t.now.ns));
    });
    h.loop->add_after_turn([&](const EventLoop::Turn &) { h.calls.push_back("second"); });
    make_ready(chain[0].get());
    h.turn();
    // b and c became ready during the turn and are handled in its rounds;
    // d, readied in the last round, waits for the next turn.
    EXPECT_EQ(h.calls, (std::vector<std::string>{"wake", "a", "b", "c", "first 200 300", "second"}));
    h.calls.clear();
    h.turn();
    EXPECT_EQ(h.calls, (std::vector<std::string>{"wake", "d", "first 400 400", "second"}));
}

TEST(EventLoop, StopReturnsOnceTheCurrentHandlerReturns) {
    enum class Where { kWakeHook, kHandler, kAfterTurn };
    struct Row {
        const char *name;
        Where where;
        std::vector<std::string> calls;
    };
    const Row rows[] = {
        {"wake hook", Where::kWakeHook, {"wake"}},
        // Two descriptors are ready: the second one's event is not handled.
        {"handler", Where::kHandler, {"wake", "handler"}},
        {"first after-turn hook", Where::kAfterTurn, {"wake", "handler", "handler", "after"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Harness h;
        Fd x = new_eventfd(), y = new_eventfd();
        h.loop->add_wake_hook([&] {
            h.calls.push_back("wake");
            if (row.where == Where::kWakeHook) h.loop->stop();
        });
        for (int fd : {x.get(), y.get()})
            ASSERT_TRUE(h.loop->watch(fd, EventLoop::kReadable, [&, fd](uint32_t) {
                consume(fd);
                h.calls.push_back("handler");
                if (row.where == Where::kHandler) h.loop->stop();
            }));
        h.loop->add_after_turn([&](const EventLoop::Turn &) {
            h.calls.push_back("after");
            if (row.where == Where::kAfterTurn) h.loop->stop();
        });
        h.loop->add_after_turn([&](const EventLoop::Turn &) { h.calls.push_back("after again"); });
        make_ready(x.get());
        make_ready(y.get());
        h.turn();
        EXPECT_EQ(h.calls, row.calls);
        EXPECT_TRUE(h.loop->stopping());
    }
}

}  // namespace
}  // namespace norvd
