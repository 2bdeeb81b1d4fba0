// control_socket.cc: accepting norvctl's connections and answering them
// without ever waiting for one.
#include "control_socket.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.h"
#include "pty_device.h"  // failed()

namespace norvd {

namespace {

// How long accepting pauses when the process is out of descriptors: the
// listening socket stays readable, and the loop must not spin on it.
constexpr uint64_t kAcceptPauseNs = 100'000'000;

bool make_address(const std::string &path, sockaddr_un &addr, std::string &why) {
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        why = "control socket '" + escape(path) + "': a path of 1 to " + std::to_string(sizeof addr.sun_path - 1) +
              " bytes is needed";
        return false;
    }
    memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

// A socket at `path` left by a server that has gone can be replaced; one that
// a server answers on cannot. Returns "" when the path is free (now).
std::string clear_stale(const std::string &path, const sockaddr_un &addr) {
    struct stat st {};
    if (lstat(path.c_str(), &st) < 0) return errno == ENOENT ? "" : failed(("lstat " + path).c_str());
    if (!S_ISSOCK(st.st_mode)) return "control socket " + path + " exists and is not a socket";
    Fd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!probe.valid()) return failed("socket");
    if (connect(probe.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 || errno == EAGAIN)
        return "another server (another norvd?) answers on " + path +
               "; stop it, or give this norvd another --control-socket";
    if (errno != ECONNREFUSED) return failed(("connect " + path).c_str());
    if (unlink(path.c_str()) < 0 && errno != ENOENT) return failed(("unlink " + path).c_str());
    log_info("removed the stale control socket " + path);
    return "";
}

// Reads away what a client sent and was not read (up to 64 KiB) before its
// connection is closed: a UNIX socket closed with unread bytes makes the
// client's next read fail (ECONNRESET) instead of ending.
void drain(int fd) {
    uint8_t buf[4096];
    for (int i = 0; i < 16 && read(fd, buf, sizeof buf) > 0; ++i) {
    }
}

}  // namespace

std::unique_ptr<ControlSocket> ControlSocket::open(const std::string &path, gid_t gid, int epollFd, Answer answer,
                                                   std::string &why) {
    sockaddr_un addr;
    if (!make_address(path, addr, why)) return nullptr;
    if (why = clear_stale(path, addr); !why.empty()) return nullptr;
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return why = failed("socket"), nullptr;
    // Made 0660 by bind itself, so that nobody but root may connect before
    // the group is set; the group is set on the link itself, never through
    // a link that someone put in its place.
    mode_t old = umask(0117);
    int rc = bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr);
    umask(old);
    if (rc < 0) return why = failed(("bind " + path).c_str()), nullptr;
    struct stat st {};
    if (lchown(path.c_str(), 0, gid) < 0 || lstat(path.c_str(), &st) < 0) {
        why = failed(("lchown " + path).c_str());
        unlink(path.c_str());
        return nullptr;
    }
    if (listen(fd.get(), kAcceptsPerEvent) < 0) {
        why = failed("listen");
        unlink(path.c_str());
        return nullptr;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd.get();
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd.get(), &ev) < 0) {
        why = failed("epoll_ctl");
        unlink(path.c_str());
        return nullptr;
    }
    return std::unique_ptr<ControlSocket>(
        new ControlSocket(std::move(fd), path, epollFd, std::move(answer), st.st_dev, st.st_ino));
}

ControlSocket::ControlSocket(Fd listen, std::string path, int epollFd, Answer answer, dev_t dev, ino_t ino)
    : listen_(std::move(listen)), path_(std::move(path)), epoll_(epollFd), answer_(std::move(answer)), dev_(dev),
      ino_(ino) {}

ControlSocket::~ControlSocket() {
    while (!clients_.empty()) drop(clients_.begin()->first);
    epoll_ctl(epoll_, EPOLL_CTL_DEL, listen_.get(), nullptr);
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) unlink(path_.c_str());
}

void ControlSocket::on_event(int fd, uint32_t events, uint64_t now) {
    if (fd == listen_.get()) {
        accept_clients(now);
        return;
    }
    auto it = clients_.find(fd);
    if (it != clients_.end()) on_client(it->second, events);
}

void ControlSocket::accept_clients(uint64_t now) {
    for (int round = 0; round < kAcceptsPerEvent; ++round) {
        Fd fd(accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN) return;
            // Out of descriptors or memory: the connection stays in the
            // backlog, and the socket readable. Listening pauses a while
            // instead of taking the loop round and round.
            log_limited(event::kControlClient, Severity::kWarning, failed("accept4 on the control socket"));
            epoll_event ev{};
            ev.data.fd = listen_.get();
            epoll_ctl(epoll_, EPOLL_CTL_MOD, listen_.get(), &ev);
            paused_ = now + kAcceptPauseNs;
            return;
        }
        if (clients_.size() >= kMaxClients) {
            ++counters_.busy;
            std::string text = control_error("norvd serves " + std::to_string(kMaxClients) +
                                             " control clients already; try again");
            (void)!send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            drain(fd.get());
            log_limited(event::kControlClient, Severity::kWarning,
                        "control client turned away: " + std::to_string(kMaxClients) + " are served");
            continue;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd.get();
        if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd.get(), &ev) < 0) {
            log_limited(event::kControlClient, Severity::kWarning, failed("epoll_ctl"));
            continue;
        }
        int key = fd.get();
        Client &c = clients_[key];
        c.fd = std::move(fd);
        c.deadline = now + kClientTimeoutNs;
    }
}

void ControlSocket::on_client(Client &c, uint32_t events) {
    int fd = c.fd.get();
    if (!c.out.empty()) {
        if (!write_out(c)) drop(fd);
        return;
    }
    uint8_t buf[512];
    while (c.reader.state() == ControlRequestReader::State::kNeedMore) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            c.reader.feed(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            c.reader.end();
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN) {
            // Nothing more now; a hang-up without a whole line is an end too.
            if (events & (EPOLLHUP | EPOLLERR)) return drop(fd);
            return;
        } else {
            return drop(fd);
        }
    }
    if (!respond(c)) drop(fd);
}

bool ControlSocket::respond(Client &c) {
    ++counters_.answered;
    c.out = c.reader.state() == ControlRequestReader::State::kTooLong
                ? control_error("request longer than " + std::to_string(kControlRequestLimit) + " bytes")
                : answer_(c.reader.line());
    if (!write_out(c)) return false;
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.fd = c.fd.get();
    return epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd.get(), &ev) == 0;
}

bool ControlSocket::write_out(Client &c) {
    while (c.sent < c.out.size()) {
        ssize_t n = send(c.fd.get(), c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            c.sent += static_cast<size_t>(n);
        } else if (errno == EAGAIN) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
    drain(c.fd.get());
    return false;
}

void ControlSocket::drop(int fd) {
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    clients_.erase(fd);
}

std::optional<uint64_t> ControlSocket::next_due() const {
    std::optional<uint64_t> due = paused_;
    for (const auto &[fd, c] : clients_)
        if (!due || c.deadline < *due) due = c.deadline;
    return due;
}

void ControlSocket::expire(uint64_t now) {
    if (paused_ && *paused_ <= now) {
        paused_.reset();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = listen_.get();
        epoll_ctl(epoll_, EPOLL_CTL_MOD, listen_.get(), &ev);
    }
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client &c = it->second;
        if (c.deadline > now) {
            ++it;
            continue;
        }
        ++counters_.timedOut;
        if (c.out.empty()) {
            std::string text = control_error("no whole request within " +
                                             std::to_string(kClientTimeoutNs / 1'000'000'000) + " s");
            (void)!send(c.fd.get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        log_limited(event::kControlClient, Severity::kWarning, [&] {
            return std::string("control client cut off: ") +
                   (c.out.empty() ? "no whole request" : "its answer not read") + " within " +
                   std::to_string(kClientTimeoutNs / 1'000'000'000) + " s";
        });
        epoll_ctl(epoll_, EPOLL_CTL_DEL, it->first, nullptr);
        it = clients_.erase(it);
    }
}

}  // namespace norvd
