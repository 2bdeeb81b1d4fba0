// exit_gate.h: which of NORVping's two exits ends the process, and when the
// stop by the user may take the request channel over from the main thread.
//
// The main thread uses the request channel in start-up and in every pass of
// the ping loop. The stop by the user runs on a thread of its own and writes
// commands 12 and 1 there; they must be the last requests and must not land
// between a request and its reply, so the main thread hands the channel over
// at its next pass boundary and makes no request after that. A main thread
// stuck waiting for a reply the service never sends cannot: after a grace
// period the stop goes ahead without it. The fatal-error exit runs on the main
// thread itself. Whichever exit begins first runs alone.
#ifndef NORV_CLIENT_EXIT_GATE_H
#define NORV_CLIENT_EXIT_GATE_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace norv::client {

class ExitGate {
public:
    explicit ExitGate(std::chrono::milliseconds grace) : grace_(grace) {}

    // How a claim of the stop thread came out.
    enum class Stop {
        kLost,          // an error exit runs: the stop must not
        kHandedOver,    // the main thread has handed the channel over
        kGraceExpired,  // the main thread still holds it, stuck in an exchange
    };

    // Main thread: the timed socket exists, so an exit must close it.
    void socket_opened();
    // Either exit: whether the timed socket exists.
    bool socket_is_open();

    // Main thread, between two passes: true when it may go on; false once an
    // exit has begun, the channel then being handed over for good.
    bool pass_may_begin();

    // Main thread, on a fatal error: true when its exit is the one that runs;
    // false when a stop has begun, the channel then being handed over for good.
    bool claim_error_exit();

    // Stop thread: claims the exit and, when it is the one that runs, waits
    // until the main thread hands the channel over, at most the grace period.
    Stop claim_stop();

private:
    // With mutex_ held: the main thread gives the channel up for good.
    void hand_over();

    const std::chrono::milliseconds grace_;
    std::mutex mutex_;
    std::condition_variable handedOverSignal_;
    bool socketOpen_ = false;
    bool exiting_ = false;     // an exit has begun; it alone ends the process
    bool handedOver_ = false;  // the main thread makes no request any more
};

}  // namespace norv::client

#endif  // NORV_CLIENT_EXIT_GATE_H
