// The worker thread of norvd's blocking work, with real threads and its
// eventfd: the order of its results, what wakes the loop, and how it stops.
#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loop/worker.h"

namespace norvd {
namespace {

using namespace std::chrono_literals;

// Generous: only a fault lets a wait run out.
constexpr auto kPatience = 60s;

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN);
}

bool wait_readable(int fd) { return readable(fd, static_cast<int>(kPatience / 1ms)); }

// A gate that the work waits at until the test opens it. It records what
// the work was called with.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;   // calls of the work begun
    int finished = 0;  // calls of the work that passed the gate
    std::vector<std::vector<int>> batches;

    // Called by the work: counts the call, then waits for the gate.
    void pass(const std::vector<int> &batch) {
        std::unique_lock<std::mutex> lock(mutex);
        batches.push_back(batch);
        ++entered;
        changed.notify_all();
        changed.wait(lock, [this] { return open; });
        ++finished;
        changed.notify_all();
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
    bool wait_entered(int calls) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, kPatience, [&] { return entered >= calls; });
    }
};

using IntWorker = Worker<int, int>;

// Work that passes `gate` and returns ten times each ask.
IntWorker::Work gated(std::shared_ptr<Gate> gate) {
    return [gate](std::vector<int> asks) {
        gate->pass(asks);
        std::vector<int> results;
        for (int a : asks) results.push_back(a * 10);
        return results;
    };
}

std::unique_ptr<IntWorker> start(IntWorker::Work work, Take take, Stop stop) {
    std::string error;
    auto worker = IntWorker::start(std::move(work), take, stop, error);
    EXPECT_TRUE(worker) << error;
    EXPECT_EQ(error, "");
    return worker;
}

// Takes results as the loop does, until `count` came or none comes any more.
std::vector<int> take_results(IntWorker &worker, size_t count) {
    std::vector<int> got;
    while (got.size() < count && wait_readable(worker.fd()))
        for (int a; worker.take(a);) got.push_back(a);
    return got;
}

TEST(Worker, ResultsInTheOrderAskedOneAtATimeOrAllTogether) {
    // Asks 2, 3 and 4 are made while the work on ask 1 waits at the gate.
    struct Case {
        Take take;
        std::vector<std::vector<int>> batches;
    } cases[] = {
        {Take::kOne, {{1}, {2}, {3}, {4}}},
        {Take::kAll, {{1}, {2, 3, 4}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.take == Take::kOne ? "one at a time" : "all together");
        auto gate = std::make_shared<Gate>();
        auto worker = start(gated(gate), c.take, Stop::kJoin);
        ASSERT_TRUE(worker);
        worker->ask(1);
        ASSERT_TRUE(gate->wait_entered(1));
        for (int a : {2, 3, 4}) worker->ask(a);
        gate->release();
        EXPECT_EQ(take_results(*worker, 4), (std::vector<int>{10, 20, 30, 40}));
        std::lock_guard<std::mutex> lock(gate->mutex);
        EXPECT_EQ(gate->batches, c.batches);
    }
}

TEST(Worker, TakeClearsTheEventfdAndALaterResultSetsItAgain) {
    // Three results of each ask, put out with one wake-up.
    auto worker = start(
        [](std::vector<int> asks) {
            std::vector<int> results;
            for (int a : asks)
                for (int i = 0; i < 3; ++i) results.push_back(a * 10 + i);
            return results;
        },
        Take::kOne, Stop::kJoin);
    ASSERT_TRUE(worker);
    EXPECT_FALSE(readable(worker->fd(), 0));
    int a = -1;
    EXPECT_FALSE(worker->take(a));

    for (int asked : {1, 5}) {
        SCOPED_TRACE(asked);
        worker->ask(asked);
        ASSERT_TRUE(wait_readable(worker->fd()));
        ASSERT_TRUE(worker->take(a));
        EXPECT_EQ(a, asked * 10);
        // Cleared by the first take(), while two results still wait.
        EXPECT_FALSE(readable(worker->fd(), 0));
        ASSERT_TRUE(worker->take(a));
        EXPECT_EQ(a, asked * 10 + 1);
        ASSERT_TRUE(worker->take(a));
        EXPECT_EQ(a, asked * 10 + 2);
        EXPECT_FALSE(worker->take(a));
        EXPECT_FALSE(readable(worker->fd(), 0));
        // The next round: a result put out after take() found none wakes
        // the loop again.
    }
}

TEST(Worker, ADetachedWorkerCaughtInItsWorkDoesNotHoldUpItsOwner) {
    auto gate = std::make_shared<Gate>();
    // Held by the work only: gone once the thread has let go of it.
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> held = token;
    auto worker = start([gate, token](std::vector<int> asks) { return gated(gate)(std::move(asks)); }, Take::kOne,
                        Stop::kDetach);
    token.reset();
    ASSERT_TRUE(worker);
    worker->ask(1);
    ASSERT_TRUE(gate->wait_entered(1));
    worker->ask(2);

    // Destroyed on a thread of its own: were the destructor to wait for the
    // work, the gate would open only after the test's patience ran out, and
    // the test would fail.
    std::mutex mutex;
    std::condition_variable changed;
    bool destroyed = false;
    std::thread owner([&] {
        worker.reset();
        std::lock_guard<std::mutex> lock(mutex);
        destroyed = true;
        changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, kPatience, [&] { return destroyed; }))
            << "the destructor waited for the work";
    }
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        EXPECT_EQ(gate->finished, 0);
    }
    gate->release();
    owner.join();

    // The thread ends by itself once its work returns, and lets go of the
    // state it shared, without starting on the ask still waiting.
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!held.expired() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(held.expired()) << "the detached thread still holds its work";
    std::lock_guard<std::mutex> lock(gate->mutex);
    EXPECT_EQ(gate->finished, 1);
    EXPECT_EQ(gate->entered, 1);
}

TEST(Worker, AJoinedWorkerIsWaitedFor) {
    auto gate = std::make_shared<Gate>();
    auto worker = start(gated(gate), Take::kOne, Stop::kJoin);
    ASSERT_TRUE(worker);
    worker->ask(1);
    ASSERT_TRUE(gate->wait_entered(1));
    worker->ask(2);
    // The gate opens while the destructor most likely waits already. Should
    // it open first on a slow machine, the test still passes; it only tells
    // less.
    std::thread opener([gate] {
        std::this_thread::sleep_for(50ms);
        gate->release();
    });
    worker.reset();
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        EXPECT_EQ(gate->finished, 1) << "the destructor returned while the work ran";
        // The ask still waiting at destruction was dropped.
        EXPECT_EQ(gate->entered, 1);
    }
    opener.join();
}

}  // namespace
}  // namespace norvd
