// connect_handshake.cc: the steps of a connection in the making.
#include "core/connect_handshake.h"

namespace norvd {

void ConnectHandshake::step(Event event, bool ok) {
    switch (state_) {
    case State::kAwaiting:
        if (event == Event::kGuard && guards_ > 0) {
            --guards_;
            if (!ok) guardFailed_ = true;
        } else if (event == Event::kLook) {
            looked_ = true;
        } else {
            return;
        }
        if (guards_ == 0 && looked_) state_ = guardFailed_ ? State::kFailed : State::kReady;
        return;
    case State::kReady:
        if (event == Event::kAnswer) state_ = State::kAnswered;
        return;
    case State::kFailed:
    case State::kAnswered:
        return;
    }
}

}  // namespace norvd
