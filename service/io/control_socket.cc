// control_socket.cc: accepting norvctl's connections and responding to them
// without ever waiting for one.
#include "io/control_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io/log.h"

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
// a server accepts connections on cannot. Returns "" when the path is free
// (now).
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
void discard_unread(int fd) {
    uint8_t buf[4096];
    for (int i = 0; i < 16 && read(fd, buf, sizeof buf) > 0; ++i) {
    }
}

}  // namespace

std::unique_ptr<ControlSocket> ControlSocket::open(const std::string &path, gid_t gid, EventLoop &loop,
                                                   Responder responder, std::string &why) {
    sockaddr_un addr;
    if (!make_address(path, addr, why)) return nullptr;
    if (why = clear_stale(path, addr); !why.empty()) return nullptr;
    Fd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return why = failed("socket"), nullptr;
    // Made 0660 by bind itself, so that nobody but root may connect before
    // its gid is the access group's; the gid is set on the socket's own
    // entry (lchown), never through a symbolic link put in its place.
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
    int listening = fd.get();
    std::unique_ptr<ControlSocket> socket(
        new ControlSocket(std::move(fd), path, loop, std::move(responder), st.st_dev, st.st_ino));
    ControlSocket *self = socket.get();
    if (!loop.watch(listening, EventLoop::kReadable, [self](uint32_t) { self->accept_clients(self->loop_.now()); })) {
        why = failed("epoll_ctl");
        return nullptr;  // the socket's file goes with it
    }
    return socket;
}

ControlSocket::ControlSocket(Fd listen, std::string path, EventLoop &loop, Responder responder, dev_t dev,
                             ino_t ino)
    : listen_(std::move(listen)), path_(std::move(path)), loop_(loop), responder_(std::move(responder)), dev_(dev),
      ino_(ino) {}

ControlSocket::~ControlSocket() {
    while (!clients_.empty()) drop(clients_.begin()->first);
    loop_.unwatch(listen_.get());
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) unlink(path_.c_str());
}

void ControlSocket::accept_clients(BaseTime now) {
    for (int round = 0; round < kAcceptsPerEvent; ++round) {
        Fd fd(accept4(listen_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN) return;
            // Out of descriptors or memory: the connection stays in the
            // backlog, and the socket readable. Listening pauses a while
            // instead of taking the loop round and round.
            log_limited(event::kControlClient, Severity::kWarning, failed("accept4 on the control socket"));
            loop_.change(listen_.get(), 0);
            paused_ = now + kAcceptPauseNs;
            return;
        }
        if (clients_.size() >= kMaxClients) {
            ++counters_.busy;
            std::string text = control_error("norvd serves " + std::to_string(kMaxClients) +
                                             " control clients already; try again");
            (void)!send(fd.get(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            discard_unread(fd.get());
            log_limited(event::kControlClient, Severity::kWarning,
                        "control client turned away: " + std::to_string(kMaxClients) + " are served");
            continue;
        }
        int key = fd.get();
        auto handler = [this, key](uint32_t events) {
            if (auto it = clients_.find(key); it != clients_.end()) on_client(it->second, events);
        };
        if (!loop_.watch(key, EventLoop::kReadable, handler)) {
            log_limited(event::kControlClient, Severity::kWarning, failed("epoll_ctl"));
            continue;
        }
        Client &c = clients_[key];
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) c.uid = cred.uid;
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
            if (events & (EventLoop::kHangUp | EventLoop::kError)) return drop(fd);
            return;
        } else {
            return drop(fd);
        }
    }
    if (!respond(c)) drop(fd);
}

bool ControlSocket::respond(Client &c) {
    ++counters_.responded;
    c.out = c.reader.state() == ControlRequestReader::State::kTooLong
                ? control_error("request longer than " + std::to_string(kControlRequestLimit) + " bytes")
                : responder_(c.reader.line(), c.uid);
    if (!write_out(c)) return false;
    return loop_.change(c.fd.get(), EventLoop::kWritable);
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
    discard_unread(c.fd.get());
    return false;
}

void ControlSocket::drop(int fd) {
    loop_.unwatch(fd);
    clients_.erase(fd);
}

std::optional<BaseTime> ControlSocket::next_due() const {
    std::optional<BaseTime> due = paused_;
    for (const auto &[fd, c] : clients_)
        if (!due || c.deadline < *due) due = c.deadline;
    return due;
}

void ControlSocket::expire(BaseTime now) {
    if (paused_ && *paused_ <= now) {
        paused_.reset();
        loop_.change(listen_.get(), EventLoop::kReadable);
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
        loop_.unwatch(it->first);
        it = clients_.erase(it);
    }
}

}  // namespace norvd
