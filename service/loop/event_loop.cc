// event_loop.cc: the epoll set, the dispatch of its events by descriptor and
// the turn of norvd's loop.
#include "loop/event_loop.h"

#include <sys/epoll.h>

#include <cerrno>
#include <climits>

#include "io/log.h"

namespace norvd {

static_assert(EventLoop::kReadable == EPOLLIN && EventLoop::kWritable == EPOLLOUT &&
              EventLoop::kError == EPOLLERR && EventLoop::kHangUp == EPOLLHUP &&
              EventLoop::kEdge == EPOLLET);

namespace {

// An event's data: the descriptor and the generation of its watch. The
// number alone cannot tell an event of a descriptor closed in this batch
// from one of the new descriptor that took its number.
uint64_t event_key(int fd, uint32_t generation) {
    return static_cast<uint64_t>(generation) << 32 | static_cast<uint32_t>(fd);
}

}  // namespace

std::unique_ptr<EventLoop> EventLoop::create(Clock clock, int catchUpRounds, std::string &why) {
    norv::Fd epoll(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll.valid()) return why = failed("epoll_create1"), nullptr;
    return std::unique_ptr<EventLoop>(new EventLoop(std::move(epoll), std::move(clock), catchUpRounds));
}

EventLoop::EventLoop(norv::Fd epoll, Clock clock, int catchUpRounds)
    : epoll_(std::move(epoll)), clock_(std::move(clock)), catchUpRounds_(catchUpRounds) {}

EventLoop::~EventLoop() = default;

bool EventLoop::watch(int fd, uint32_t events, Handler handler) {
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    auto w = std::make_unique<Watch>(Watch{std::move(handler), ++generation_});
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = event_key(fd, w->generation);
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) < 0) return false;
    if (static_cast<size_t>(fd) >= watches_.size()) watches_.resize(static_cast<size_t>(fd) + 1);
    // Still there when its descriptor was closed without an unwatch.
    retire(watches_[static_cast<size_t>(fd)]);
    watches_[static_cast<size_t>(fd)] = std::move(w);
    return true;
}

bool EventLoop::change(int fd, uint32_t events) {
    if (fd < 0 || static_cast<size_t>(fd) >= watches_.size() || !watches_[static_cast<size_t>(fd)]) {
        errno = ENOENT;
        return false;
    }
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = event_key(fd, watches_[static_cast<size_t>(fd)]->generation);
    return epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev) == 0;
}

void EventLoop::unwatch(int fd) {
    if (fd < 0 || static_cast<size_t>(fd) >= watches_.size() || !watches_[static_cast<size_t>(fd)]) return;
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    retire(watches_[static_cast<size_t>(fd)]);
}

void EventLoop::retire(std::unique_ptr<Watch> &watch) {
    if (!watch) return;
    if (dispatching_)
        retired_.push_back(std::move(watch));
    else
        watch.reset();
}

void EventLoop::add_deadline(Deadline deadline) { deadlines_.push_back(std::move(deadline)); }
void EventLoop::add_wake_hook(WakeHook hook) { wakeHooks_.push_back(std::move(hook)); }
void EventLoop::add_after_turn(TurnHook hook) { afterTurn_.push_back(std::move(hook)); }

int EventLoop::timeout_ms(BaseTime now) const {
    std::optional<BaseTime> earliest;
    for (const Deadline &deadline : deadlines_)
        if (auto due = deadline(now); due && (!earliest || *due < *earliest)) earliest = due;
    if (!earliest) return -1;
    uint64_t wait = *earliest > now ? *earliest - now : 0;
    uint64_t ms = wait / 1'000'000 + (wait % 1'000'000 != 0);
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

bool EventLoop::run() {
    epoll_event events[kMaxEvents];
    stopping_ = false;
    while (!stopping_) {
        int n = epoll_wait(epoll_.get(), events, kMaxEvents, timeout_ms(clock_()));
        if (n < 0) {
            if (errno == EINTR) continue;
            log_error(failed("epoll_wait"));
            return false;
        }
        // Hooks and handlers may add hooks: no iterator is held over them.
        for (size_t i = 0; i < wakeHooks_.size() && !stopping_; ++i) wakeHooks_[i]();
        dispatch(events, n);
        Turn turn;
        for (int round = 0; round < catchUpRounds_ && !stopping_; ++round) {
            turn.seen = clock_();
            n = epoll_wait(epoll_.get(), events, kMaxEvents, 0);
            if (n <= 0) break;
            dispatch(events, n);
        }
        if (stopping_) break;
        turn.now = clock_();
        for (size_t i = 0; i < afterTurn_.size() && !stopping_; ++i) afterTurn_[i](turn);
    }
    return true;
}

void EventLoop::dispatch(const epoll_event *events, int n) {
    dispatching_ = true;
    for (int i = 0; i < n && !stopping_; ++i) {
        auto fd = static_cast<uint32_t>(events[i].data.u64);
        auto generation = static_cast<uint32_t>(events[i].data.u64 >> 32);
        if (fd >= watches_.size()) continue;
        Watch *w = watches_[fd].get();
        // Unwatched by an earlier handler of the batch, or watched anew.
        if (w == nullptr || w->generation != generation) continue;
        w->handler(events[i].events);
    }
    dispatching_ = false;
    retired_.clear();
}

}  // namespace norvd
