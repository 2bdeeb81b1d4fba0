// event_loop.h: norvd's event loop.
//
// Parts of norvd watch their own descriptors, each with a handler, and tell
// the loop when they next need it through a deadline; the loop never learns
// what a descriptor is for. A turn of the loop is:
//   1. wait for events until the earliest deadline;
//   2. the wake hooks, in the order they were added;
//   3. the handlers of the events of that wait;
//   4. up to `catchUpRounds` rounds that take the events ready by then
//      without waiting, until one finds none: what became ready while the
//      handlers ran is handled before the turn ends;
//   5. the after-turn hooks, in the order they were added.
// All times are on the clock the loop is given: norvd's base clock
// (times.h), which never steps.
//
// A descriptor that is no longer watched gets no more events, not even those
// already taken in the batch being handled; a descriptor number watched
// again (closed and reused) never gets an event of its earlier watch.
#ifndef NORVD_EVENT_LOOP_H
#define NORVD_EVENT_LOOP_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/times.h"
#include "fd.h"

struct epoll_event;

namespace norvd {

class EventLoop {
public:
    // Events of a descriptor, with epoll's values. kEdge asks for each
    // readiness to be told once instead of for as long as it lasts.
    static constexpr uint32_t kReadable = 0x001, kWritable = 0x004, kError = 0x008, kHangUp = 0x010;
    static constexpr uint32_t kEdge = 1u << 31;
    // Events taken by one wait; the rest wait for the next round.
    static constexpr int kMaxEvents = 32;

    using Clock = std::function<BaseTime()>;
    // Called with the events that occurred on its descriptor.
    using Handler = std::function<void(uint32_t events)>;
    // When the part next needs a turn (`now`: the time of the question),
    // nothing when it needs none.
    using Deadline = std::function<std::optional<BaseTime>(BaseTime now)>;
    struct Turn {
        // Read before the last catch-up round: every event ready by then
        // has been handled. 0 when no round ran.
        BaseTime seen;
        BaseTime now;  // read once the rounds are over
    };
    using WakeHook = std::function<void()>;
    using TurnHook = std::function<void(const Turn &turn)>;

    // Nothing when the epoll set cannot be made; `why` says so.
    static std::unique_ptr<EventLoop> create(Clock clock, int catchUpRounds, std::string &why);
    ~EventLoop();

    // Watches `fd` for `events` (kReadable, ...); hang-ups and errors are
    // told always. False (errno set) when epoll refuses it, as for a
    // descriptor that is watched already. A number whose descriptor was
    // closed while watched may be watched again: the new watch replaces it.
    bool watch(int fd, uint32_t events, Handler handler);
    // The events watched for on `fd` become `events` (0: none for now).
    bool change(int fd, uint32_t events);
    // Stops watching `fd`, before it is closed; its events still pending in
    // the batch are dropped. A handler may unwatch any descriptor, its own
    // included; nothing happens for one that is not watched.
    void unwatch(int fd);

    // A part's deadline, asked before each wait.
    void add_deadline(Deadline deadline);
    void add_wake_hook(WakeHook hook);
    void add_after_turn(TurnHook hook);

    // Runs turns until a handler or hook calls stop(); false when waiting
    // failed (logged).
    bool run();
    // The loop returns once the handler or hook that called it returns:
    // the rest of the batch, the rounds and the hooks are skipped.
    void stop() { stopping_ = true; }
    bool stopping() const { return stopping_; }

    BaseTime now() const { return clock_(); }
    // How long a wait begun at `now` may last: until the earliest deadline
    // (in ms, rounded up; 0 when one is past), or -1 without any.
    int timeout_ms(BaseTime now) const;

private:
    struct Watch {
        Handler handler;
        uint32_t generation;  // in the events' data beside the descriptor
    };

    EventLoop(norv::Fd epoll, Clock clock, int catchUpRounds);
    void dispatch(const epoll_event *events, int n);
    // Ends a watch; one unwatched during a batch lives on until the batch
    // is over, as its handler may be the one running.
    void retire(std::unique_ptr<Watch> &watch);

    norv::Fd epoll_;
    Clock clock_;
    int catchUpRounds_;
    std::vector<std::unique_ptr<Watch>> watches_;  // by descriptor number
    std::vector<std::unique_ptr<Watch>> retired_;
    uint32_t generation_ = 0;
    bool dispatching_ = false;
    bool stopping_ = false;
    std::vector<Deadline> deadlines_;
    std::vector<WakeHook> wakeHooks_;
    std::vector<TurnHook> afterTurn_;
};

}  // namespace norvd

#endif  // NORVD_EVENT_LOOP_H
