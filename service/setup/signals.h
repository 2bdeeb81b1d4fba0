// signals.h: the signals norvd acts on, read in its event loop.
//
// SIGINT and SIGTERM stop norvd, SIGHUP has it read its configuration file
// again, SIGCHLD tells that a child of its own (the guard keeper) has ended.
// They are blocked and read from a signalfd that the loop watches: what they
// ask is done by ordinary code between the loop's other work, never in a
// signal handler. SIGPIPE is ignored: a write to a client that has gone
// fails with EPIPE instead of ending norvd.
#ifndef NORVD_SIGNALS_H
#define NORVD_SIGNALS_H

#include <functional>
#include <memory>
#include <string>

#include "fd.h"
#include "loop/event_loop.h"

namespace norvd {

class Signals {
public:
    // What the owner does for each signal; called from the loop.
    struct Handlers {
        std::function<void(int signo)> stop;  // SIGINT, SIGTERM
        std::function<void()> reload;         // SIGHUP
        std::function<void()> childExited;    // SIGCHLD: the owner reaps
    };

    // Blocks the signals, in the calling thread and in every thread it
    // starts from then on (a thread started before would take them with
    // their default action), and watches the signalfd in `loop`, which must
    // outlive the Signals. SIGINT and SIGTERM get their default action back
    // first: whoever started norvd may have left them ignored (a shell does
    // so for background commands), and a system may discard an ignored
    // signal even while it is blocked. Returns nullptr with the failure in
    // `error`.
    static std::unique_ptr<Signals> start(EventLoop &loop, Handlers handlers, std::string &error);
    // Stops watching the signalfd; the signals stay blocked.
    ~Signals();
    Signals(const Signals &) = delete;
    Signals &operator=(const Signals &) = delete;

private:
    Signals(EventLoop &loop, norv::Fd fd, Handlers handlers);
    // Every signal waiting, in the order they came.
    void on_readable();

    EventLoop &loop_;
    norv::Fd fd_;
    Handlers handlers_;
};

}  // namespace norvd

#endif  // NORVD_SIGNALS_H
