// signals.cc: the signalfd of norvd.
#include "setup/signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <utility>

#include "io/log.h"

namespace norvd {

std::unique_ptr<Signals> Signals::start(EventLoop &loop, Handlers handlers, std::string &error) {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&set, s);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) < 0) return error = failed("sigprocmask"), nullptr;
    norv::Fd fd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!fd.valid()) return error = failed("signalfd"), nullptr;
    signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<Signals> signals(new Signals(loop, std::move(fd), std::move(handlers)));
    Signals *s = signals.get();
    if (!loop.watch(s->fd_.get(), EventLoop::kReadable, [s](uint32_t) { s->on_readable(); }))
        return error = failed("epoll_ctl"), nullptr;
    return signals;
}

Signals::Signals(EventLoop &loop, norv::Fd fd, Handlers handlers)
    : loop_(loop), fd_(std::move(fd)), handlers_(std::move(handlers)) {}

Signals::~Signals() {
    if (fd_.valid()) loop_.unwatch(fd_.get());
}

void Signals::on_readable() {
    signalfd_siginfo si;
    while (read(fd_.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGCHLD)
            handlers_.childExited();
        else if (si.ssi_signo == SIGHUP)
            handlers_.reload();
        else
            handlers_.stop(static_cast<int>(si.ssi_signo));
    }
}

}  // namespace norvd
