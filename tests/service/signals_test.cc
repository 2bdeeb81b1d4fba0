// Which handler each signal reaches through the signalfd (the child's exit
// among them, which no end-to-end test sends). The signals are sent to this
// test's own process, which blocks them from then on.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "loop/event_loop.h"
#include "setup/signals.h"

namespace norvd {
namespace {

TEST(Signals, EachReachesItsHandler) {
    std::string why;
    auto loop = EventLoop::create([] { return BaseTime(); }, 0, why);
    ASSERT_NE(loop, nullptr) << why;
    std::vector<std::string> calls;
    Signals::Handlers handlers;
    handlers.stop = [&](int signo) { calls.push_back("stop " + std::to_string(signo)); };
    handlers.reload = [&] { calls.push_back("reload"); };
    handlers.childExited = [&] { calls.push_back("child"); };
    auto signals = Signals::start(*loop, handlers, why);
    ASSERT_NE(signals, nullptr) << why;

    for (int s : {SIGHUP, SIGCHLD, SIGTERM, SIGINT}) ASSERT_EQ(raise(s), 0);
    // One turn, whatever the handlers do: a deadline always due, and a stop
    // after it.
    loop->add_deadline([](BaseTime now) { return std::optional(now); });
    loop->add_after_turn([&](const EventLoop::Turn &) { loop->stop(); });
    ASSERT_TRUE(loop->run());

    // The kernel hands pending signals over by number, not in the order sent.
    std::sort(calls.begin(), calls.end());
    std::vector<std::string> expected = {"child", "reload", "stop " + std::to_string(SIGINT),
                                         "stop " + std::to_string(SIGTERM)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(calls, expected);
}

}  // namespace
}  // namespace norvd
