// exit_gate.cc: the claims on NORVping's exit and the hand-over of its
// request channel.
#include "exit_gate.h"

namespace norv::client {

void ExitGate::socket_opened() {
    std::lock_guard lock(mutex_);
    socketOpen_ = true;
}

bool ExitGate::socket_is_open() {
    std::lock_guard lock(mutex_);
    return socketOpen_;
}

void ExitGate::hand_over() {
    handedOver_ = true;
    handedOverSignal_.notify_all();
}

bool ExitGate::pass_may_begin() {
    std::lock_guard lock(mutex_);
    if (!exiting_) return true;
    hand_over();
    return false;
}

bool ExitGate::claim_error_exit() {
    std::lock_guard lock(mutex_);
    if (exiting_) {
        hand_over();
        return false;
    }
    exiting_ = true;
    return true;
}

ExitGate::Stop ExitGate::claim_stop() {
    std::unique_lock lock(mutex_);
    if (exiting_) return Stop::kLost;
    exiting_ = true;
    return handedOverSignal_.wait_for(lock, grace_, [this] { return handedOver_; })
               ? Stop::kHandedOver
               : Stop::kGraceExpired;
}

}  // namespace norv::client
