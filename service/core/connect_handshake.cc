// connect_handshake.cc: the steps of a connection in the making.
#include "core/connect_handshake.h"

namespace norvd {

void ConnectHandshake::step(Event event, bool ok) {
    switch (state_) {
    case State::kAwaiting:
        if (event == Event::kDeviceReady && devices_ > 0) {
            --devices_;
            if (!ok) deviceFailed_ = true;
        } else if (event == Event::kLook) {
            looked_ = true;
        } else {
            return;
        }
        if (devices_ == 0 && looked_) state_ = deviceFailed_ ? State::kFailed : State::kReady;
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
