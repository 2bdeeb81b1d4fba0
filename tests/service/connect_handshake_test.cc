// The steps of a connection in the making: its answer waits for both devices
// and the look, whatever order they come in, and a failed device is a refusal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/connect_handshake.h"

namespace norvd {
namespace {

using State = ConnectHandshake::State;

TEST(ConnectHandshake, StepsInEveryOrder) {
    // g: a device is ready, f: a device failed, l: the look is done,
    // a: the number was written. The state after each step.
    struct Case {
        std::string steps;
        std::vector<State> states;
    };
    constexpr State W = State::kAwaiting, R = State::kReady, F = State::kFailed, A = State::kAnswered;
    const Case cases[] = {
        {"ggla", {W, W, R, A}},
        {"lgga", {W, W, R, A}},
        {"glga", {W, W, R, A}},
        // Answered too early: nothing changes until it is ready.
        {"aggla", {W, W, W, R, A}},
        {"gagla", {W, W, W, R, A}},
        // A failed device still waits for the other device and the look.
        {"fgl", {W, W, F}},
        {"lgf", {W, W, F}},
        {"ffl", {W, W, F}},
        // Failed stays failed: it is never answered with its number.
        {"gfla", {W, W, F, F}},
        // A third device told ready or a second look changes nothing.
        {"gglg", {W, W, R, R}},
        {"ggllaga", {W, W, R, R, A, A, A}},
        {"llgfa", {W, W, W, F, F}},
    };
    for (const Case &c : cases) {
        ConnectHandshake h;
        ASSERT_EQ(c.steps.size(), c.states.size()) << c.steps;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            switch (c.steps[i]) {
            case 'g': h.device_ready(true); break;
            case 'f': h.device_ready(false); break;
            case 'l': h.looked(); break;
            case 'a': h.answer(); break;
            }
            EXPECT_EQ(h.state(), c.states[i]) << c.steps << " after step " << i;
            EXPECT_EQ(h.answered(), c.states[i] == A) << c.steps << " after step " << i;
        }
    }
}

}  // namespace
}  // namespace norvd
