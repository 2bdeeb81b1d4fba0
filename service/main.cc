// main.cc: norvd, the substitute NORV timing service.
//
// Serves the control channel on /dev/rtf1 and /dev/rtfN (pseudo-terminals),
// answers the requests of every connection through the Service, talks to the
// norvd of the other machines of the group over UDP port 16007 and delivers
// the verdicts on registered sends as failure notices. One thread, one epoll
// loop; signals arrive through a signalfd.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "channels.h"
#include "commands.h"
#include "fd.h"
#include "notice_queue.h"
#include "options.h"
#include "peer_wire.h"
#include "pty_device.h"
#include "service_clock.h"
#include "wire.h"

namespace norvd {
namespace {

using namespace norv::wire;

const char *const kDevicePrefix = "/dev/rtf";
const char *const kLockPath = "/dev/.norvd.lock";
constexpr size_t kMaxConnections = 64;
// A connection whose client got its number but never opened a device.
constexpr uint64_t kUnopenedTimeout = 10'000'000'000;
// A connection is reclaimed this long after its last device was closed, so
// that the requests its client wrote just before closing are read first.
constexpr uint64_t kReclaimDelay = 50'000'000;
// How often notices that wait for room are offered again, and the window in
// which a notice device takes at most the room it showed at the window's
// start. A client's reads give norvd no event, so while notices wait it looks
// on a timer. unread() counts what the line discipline holds, not the bytes
// the kernel is still moving to it after a write; past about 15 KB of those a
// write goes out in part and splits a record. With one device's room per
// window, a burst never runs ahead of the count unless that move stalls for
// four windows (16 ms). A device holds 84 notices: a reader gets about 21000
// a second, and a connection whose notices wait costs a wake-up and a FIONREAD
// every 4 ms.
constexpr uint64_t kNoticeRetry = 4'000'000;

bool quiet = false;

void log(const std::string &line) {
    if (quiet) return;
    std::string out = "norvd: " + line + "\n";
    (void)!write(STDERR_FILENO, out.data(), out.size());
}

void error(const std::string &line) {
    std::string out = "norvd: " + line + "\n";
    (void)!write(STDERR_FILENO, out.data(), out.size());
}

struct Connection {
    std::unique_ptr<PtyDevice> request;
    std::unique_ptr<PtyDevice> notice;
    uint64_t createdAt = 0;
    // The room left on the notice device in the window that began at noticeWindow.
    uint64_t noticeWindow = 0;
    size_t noticeRoom = 0;
};

class Daemon {
public:
    Daemon(const Options &opts, const ServiceConfig &config)
        : opts_(opts), service_(config, log), channels_(kMaxConnections) {}

    bool start();
    int run();
    void shutdown();

private:
    bool add_epoll(int fd);
    std::unique_ptr<PtyDevice> make_device(int number);
    void drop_device(std::unique_ptr<PtyDevice> &dev);

    void on_signal();
    // Reads the open and close events of the devices: an open marks its
    // device open, a close makes it a candidate for settle_idle.
    void sync_counts();
    // Serves and then flushes the devices whose last client has gone.
    void settle_idle(uint64_t now);
    void on_peer();
    void on_master(PtyDevice &dev, uint64_t now);
    void drain(PtyDevice &dev, uint64_t now);
    void serve(PtyDevice &dev, const Request &req, uint64_t now);
    void connect(uint64_t now);
    void disconnect(int n, const char *why);
    void reply(PtyDevice &dev, const std::vector<uint8_t> &bytes, const char *what);
    void forward(const Forward &f);
    void deliver_verdicts(uint64_t now);
    bool write_notice(int connection, const uint8_t *record, size_t len);
    void reclaim(uint64_t now);
    int timeout_ms(uint64_t now) const;
    PtyDevice *device_by_master(int fd);
    PtyDevice *device_by_watch(int wd);
    PtyDevice *device_by_number(int number);

    Options opts_;
    Service service_;
    ChannelTable channels_;
    Fd epoll_, signals_, inotify_, peerSocket_;
    std::unique_ptr<PtyDevice> registration_;
    std::map<int, Connection> connections_;
    std::map<uint8_t, sockaddr_in> peers_;
    std::deque<int> idle_;  // devices that a client closed: still in use?
    NoticeQueue notices_;   // notices that did not fit in their device yet
    const NoticeQueue::Writer noticeWriter_ = [this](int c, const uint8_t *record, size_t len) {
        return write_notice(c, record, len);
    };
    bool stopping_ = false;
};

bool Daemon::add_epoll(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) < 0) {
        error(failed("epoll_ctl"));
        return false;
    }
    return true;
}

std::unique_ptr<PtyDevice> Daemon::make_device(int number) {
    std::string why;
    auto dev = PtyDevice::create(kDevicePrefix, number, inotify_.get(), why);
    if (!dev) {
        error(why);
        return nullptr;
    }
    if (!add_epoll(dev->master())) return nullptr;
    return dev;
}

void Daemon::drop_device(std::unique_ptr<PtyDevice> &dev) {
    if (!dev) return;
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, dev->master(), nullptr);
    dev.reset();
}

bool Daemon::start() {
    for (const auto &[id, host] : opts_.peers) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo *res = nullptr;
        int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
        if (rc != 0 || res == nullptr) {
            error("getaddrinfo failed for " + host + ": " + gai_strerror(rc));
            return false;
        }
        sockaddr_in addr;
        std::memcpy(&addr, res->ai_addr, sizeof addr);
        freeaddrinfo(res);
        addr.sin_port = htons(peer::kPort);
        peers_[id] = addr;
    }

    epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.valid()) return error(failed("epoll_create1")), false;

    // A stop signal ignored by whoever started us (a shell does so for
    // background commands) would never reach the signalfd.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&set, s);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) < 0) return error(failed("sigprocmask")), false;
    signals_.reset(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!signals_.valid()) return error(failed("signalfd")), false;
    signal(SIGPIPE, SIG_IGN);
    if (!add_epoll(signals_.get())) return false;

    inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.valid()) return error(failed("inotify_init1")), false;
    if (!add_epoll(inotify_.get())) return false;

    if (!peers_.empty() || !opts_.bind.empty()) {
        peerSocket_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!peerSocket_.valid()) return error(failed("socket")), false;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(peer::kPort);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (!opts_.bind.empty() && inet_pton(AF_INET, opts_.bind.c_str(), &local.sin_addr) != 1) {
            error("--bind needs an IPv4 address, not '" + opts_.bind + "'");
            return false;
        }
        if (bind(peerSocket_.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
            return error(failed("bind")), false;
        if (!add_epoll(peerSocket_.get())) return false;
    }

    registration_ = make_device(kRegistrationDevice);
    if (!registration_) return false;

    std::string group;
    for (const auto &[id, addr] : peers_) {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
        group += ", machine " + std::to_string(id) + " at " + text;
    }
    char clock[128];
    snprintf(clock, sizeof clock, "clock offset %" PRId64 " ns, drift %g ppm", opts_.clockOffset,
             opts_.clockDrift);
    log("machine " + std::to_string(opts_.id) + group + "; " + clock + "; serving " +
        registration_->link() + " (" + registration_->pts() + ")");
    return true;
}

PtyDevice *Daemon::device_by_master(int fd) {
    if (registration_ && registration_->master() == fd) return registration_.get();
    for (auto &[n, c] : connections_) {
        if (c.request && c.request->master() == fd) return c.request.get();
        if (c.notice && c.notice->master() == fd) return c.notice.get();
    }
    return nullptr;
}

PtyDevice *Daemon::device_by_watch(int wd) {
    if (registration_ && registration_->watch() == wd) return registration_.get();
    for (auto &[n, c] : connections_) {
        if (c.request && c.request->watch() == wd) return c.request.get();
        if (c.notice && c.notice->watch() == wd) return c.notice.get();
    }
    return nullptr;
}

PtyDevice *Daemon::device_by_number(int number) {
    if (number == kRegistrationDevice) return registration_.get();
    auto it = connections_.find(number);
    if (it != connections_.end()) return it->second.request.get();
    it = connections_.find(number - kNoticeOffset);
    if (it != connections_.end()) return it->second.notice.get();
    return nullptr;
}

int Daemon::run() {
    while (!stopping_) {
        uint64_t now = real_time_now();
        epoll_event events[32];
        int n = epoll_wait(epoll_.get(), events, 32, timeout_ms(now));
        if (n < 0) {
            if (errno == EINTR) continue;
            error(failed("epoll_wait"));
            return 1;
        }
        now = real_time_now();
        for (int i = 0; i < n && !stopping_; ++i) {
            int fd = events[i].data.fd;
            if (fd == signals_.get())
                on_signal();
            else if (fd == inotify_.get())
                sync_counts();
            else if (fd == peerSocket_.get())
                on_peer();
            else if (PtyDevice *dev = device_by_master(fd))
                on_master(*dev, now);
        }
        if (stopping_) break;
        now = real_time_now();
        settle_idle(now);
        reclaim(now);
        notices_.flush(noticeWriter_);
        deliver_verdicts(now);
    }
    return 0;
}

int Daemon::timeout_ms(uint64_t now) const {
    uint64_t wait = 1000'000'000;  // a look at idle connections at least every second
    if (auto due = service_.next_due()) wait = std::min(wait, *due > now ? *due - now : 0);
    if (!notices_.empty()) wait = std::min(wait, kNoticeRetry);
    for (const auto &[n, c] : connections_)
        if (!c.request->inUse && !c.notice->inUse) wait = std::min(wait, kReclaimDelay);
    return static_cast<int>((wait + 999'999) / 1'000'000);
}

void Daemon::on_signal() {
    signalfd_siginfo si;
    while (read(signals_.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGCHLD) {
            // Guards of removed devices.
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
        } else {
            log(std::string("stopping on ") + strsignal(static_cast<int>(si.ssi_signo)));
            stopping_ = true;
        }
    }
}

void Daemon::sync_counts() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t len = read(inotify_.get(), buf, sizeof buf);
        if (len <= 0) break;
        for (char *p = buf; p < buf + len;) {
            auto *ev = reinterpret_cast<inotify_event *>(p);
            p += sizeof(inotify_event) + ev->len;
            if (ev->mask & IN_Q_OVERFLOW) {
                // Closes may have been lost: look at every device again.
                error("inotify queue overflow: every device is checked for clients");
                idle_.push_back(kRegistrationDevice);
                for (const auto &[n, c] : connections_) {
                    idle_.push_back(n);
                    idle_.push_back(n + kNoticeOffset);
                }
                continue;
            }
            PtyDevice *dev = device_by_watch(ev->wd);
            if (dev == nullptr) continue;  // a device removed meanwhile
            if (ev->mask & IN_OPEN) {
                dev->inUse = true;
                dev->everOpened = true;
                dev->idleSince = 0;
            }
            if (ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) idle_.push_back(dev->number());
        }
    }
}

void Daemon::settle_idle(uint64_t now) {
    while (!idle_.empty()) {
        int number = idle_.front();
        idle_.pop_front();
        PtyDevice *dev = device_by_number(number);
        if (dev == nullptr || !dev->inUse) continue;  // already settled
        if (dev->opened_by_clients()) continue;
        // Serve what the last client wrote before it closed; then, if no
        // client came meanwhile, drop what is left: an unread reply of a
        // client that died must never reach the next one.
        drain(*dev, now);
        sync_counts();
        dev = device_by_number(number);
        if (dev == nullptr || dev->opened_by_clients()) continue;
        dev->inUse = false;
        dev->idleSince = now;
        if (dev->parser.buffered() != 0)
            log(dev->link() + ": last client closed it mid-request, " +
                std::to_string(dev->parser.buffered()) + " bytes dropped");
        dev->flush();
    }
}

void Daemon::on_peer() {
    uint8_t buf[512];
    for (;;) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t len = recvfrom(peerSocket_.get(), buf, sizeof buf, 0,
                               reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (len < 0) break;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        std::string sender = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
        int machine = -1;
        for (const auto &[id, addr] : peers_)
            if (addr.sin_addr.s_addr == from.sin_addr.s_addr && addr.sin_port == from.sin_port)
                machine = id;
        if (machine < 0) {
            log("ignored " + std::to_string(len) + " bytes from " + sender + ", not a peer");
            continue;
        }
        auto receipt = peer::decode_receipt(buf, static_cast<size_t>(len));
        if (!receipt) {
            log("ignored a malformed message of " + std::to_string(len) + " bytes from machine " +
                std::to_string(machine));
            continue;
        }
        service_.peer_receipt(static_cast<uint8_t>(machine), *receipt);
    }
}

void Daemon::on_master(PtyDevice &dev, uint64_t now) { drain(dev, now); }

void Daemon::drain(PtyDevice &dev, uint64_t now) {
    uint8_t buf[4096];
    int number = dev.number();
    for (;;) {
        ssize_t len = read(dev.master(), buf, sizeof buf);
        if (len <= 0) {
            if (len < 0 && errno != EAGAIN && errno != EINTR) error(failed("read"));
            return;
        }
        dev.parser.feed(buf, static_cast<size_t>(len));
        Request req;
        std::string why;
        for (;;) {
            auto status = dev.parser.next(req, why);
            if (status == RequestParser::Status::kNeedMore) break;
            if (status == RequestParser::Status::kMalformed) {
                log(dev.link() + ": malformed request: " + why);
                break;
            }
            serve(dev, req, now);
            // Command 1 removes the device that was being read.
            if (number != kRegistrationDevice && !channels_.live(number) &&
                !channels_.live(number - kNoticeOffset))
                return;
        }
    }
}

void Daemon::serve(PtyDevice &dev, const Request &req, uint64_t now) {
    if (&dev == registration_.get()) {
        if (req.command == command::kConnect && req.payload.empty())
            connect(now);
        else
            log(dev.link() + ": command " + std::to_string(req.command) + " with " +
                std::to_string(req.payload.size()) + " payload bytes ignored: only command 0 is served here");
        return;
    }
    auto it = connections_.find(dev.number());
    if (it == connections_.end() || it->second.request.get() != &dev) {
        log(dev.link() + ": command " + std::to_string(req.command) +
            " written on a notice FIFO, ignored");
        return;
    }
    Outcome out = service_.handle(dev.number(), req, now);
    if (!out.reply.empty()) reply(dev, out.reply, "reply");
    if (out.forward) forward(*out.forward);
    if (out.disconnect) disconnect(dev.number(), "closed by its client");
}

void Daemon::reply(PtyDevice &dev, const std::vector<uint8_t> &bytes, const char *what) {
    if (!dev.write_record(bytes.data(), bytes.size()))
        log(dev.link() + ": " + what + " dropped: its clients left " + std::to_string(dev.unread()) +
            " bytes unread");
}

void Daemon::connect(uint64_t now) {
    // The answer of a client that has gone would wait for the next client.
    if (!registration_->opened_by_clients()) {
        log(registration_->link() + ": command 0 of a client that has gone, ignored");
        return;
    }
    std::vector<uint8_t> answer(4);
    int n = channels_.allocate();
    if (n < 0) {
        log("connection refused: " + std::to_string(kMaxConnections) + " connections are live");
        put_i32le(answer.data(), kReplyAnswer, kTableFull);
        reply(*registration_, answer, "refusal");
        return;
    }
    Connection c;
    c.createdAt = now;
    c.request = make_device(n);
    if (c.request) c.notice = make_device(n + kNoticeOffset);
    if (!c.request || !c.notice) {
        drop_device(c.request);
        drop_device(c.notice);
        channels_.release(n);
        put_i32le(answer.data(), kReplyAnswer, -1);
        reply(*registration_, answer, "refusal");
        return;
    }
    log("channel " + std::to_string(n) + ": connected, " + c.request->link() + " -> " +
        c.request->pts() + ", " + c.notice->link() + " -> " + c.notice->pts());
    connections_[n] = std::move(c);
    put_i32le(answer.data(), kReplyAnswer, n);
    reply(*registration_, answer, "channel number");
}

void Daemon::disconnect(int n, const char *why) {
    auto it = connections_.find(n);
    if (it == connections_.end()) return;
    service_.connection_closed(n);
    if (size_t dropped = notices_.drop_connection(n))
        log("channel " + std::to_string(n) + ": " + std::to_string(dropped) +
            " failure notices that waited for its client dropped");
    drop_device(it->second.request);
    drop_device(it->second.notice);
    connections_.erase(it);
    channels_.release(n);
    log("channel " + std::to_string(n) + ": " + why);
}

void Daemon::forward(const Forward &f) {
    auto it = peers_.find(f.machine);
    if (it == peers_.end() || !peerSocket_.valid()) return;
    uint8_t msg[peer::receipt::kSize];
    peer::encode_receipt(f.receipt, msg);
    if (sendto(peerSocket_.get(), msg, sizeof msg, 0, reinterpret_cast<const sockaddr *>(&it->second),
               sizeof it->second) < 0)
        error(failed("sendto"));
}

void Daemon::deliver_verdicts(uint64_t now) {
    for (const Verdict &v : service_.take_due(now)) {
        std::string what = "registration " + std::to_string(v.notice.seq) + " judged: " +
                           describe(v.notice);
        auto it = connections_.find(v.connection);
        if (it == connections_.end()) {
            log(what + "; its connection has gone");
            continue;
        }
        NoticeQueue::Record record;
        encode_failure_notice(v.notice, record.data());
        switch (notices_.deliver(v.connection, record, noticeWriter_)) {
        case NoticeQueue::Fate::kWritten:
            log(what);
            break;
        case NoticeQueue::Fate::kQueued:
            log(what + "; notice waits for room, " + std::to_string(notices_.waiting(v.connection)) +
                " waiting");
            break;
        case NoticeQueue::Fate::kDropped:
            log(what + "; notice dropped: too many wait");
            break;
        }
    }
    if (auto warning = notices_.drop_warning(now)) log(*warning);
}

bool Daemon::write_notice(int connection, const uint8_t *record, size_t len) {
    auto it = connections_.find(connection);
    if (it == connections_.end()) return false;
    Connection &c = it->second;
    uint64_t now = real_time_now();
    if (now < c.noticeWindow || now - c.noticeWindow >= kNoticeRetry) {
        size_t unread = c.notice->unread();
        c.noticeWindow = now;
        c.noticeRoom = unread < kUnreadLimit ? kUnreadLimit - unread : 0;
    }
    if (c.noticeRoom < len || !c.notice->write_record(record, len)) return false;
    c.noticeRoom -= len;
    return true;
}

void Daemon::reclaim(uint64_t now) {
    std::vector<std::pair<int, const char *>> gone;
    for (auto &[n, c] : connections_) {
        if (c.request->inUse || c.notice->inUse) continue;
        bool opened = c.request->everOpened || c.notice->everOpened;
        uint64_t idle = std::max(c.request->idleSince, c.notice->idleSince);
        if (opened && now >= idle + kReclaimDelay)
            gone.emplace_back(n, "reclaimed: its client closed both devices");
        else if (!opened && now >= c.createdAt + kUnopenedTimeout)
            gone.emplace_back(n, "reclaimed: its client never opened it");
    }
    for (auto &[n, why] : gone) {
        auto it = connections_.find(n);
        drain(*it->second.request, now);
        if (connections_.count(n)) disconnect(n, why);
    }
}

void Daemon::shutdown() {
    while (!connections_.empty()) disconnect(connections_.begin()->first, "closed: norvd stops");
    drop_device(registration_);
    log("stopped");
}

// Holds the lock that makes norvd the only one on this machine (on this /dev).
class InstanceLock {
public:
    // Returns false (and says why) when another norvd holds it.
    bool acquire() {
        for (;;) {
            fd_.reset(open(kLockPath, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
            if (!fd_.valid()) return error(failed(("open " + std::string(kLockPath)).c_str())), false;
            if (flock(fd_.get(), LOCK_EX | LOCK_NB) < 0) {
                if (errno != EWOULDBLOCK) return error(failed("flock")), false;
                char pid[32] = {};
                (void)!pread(fd_.get(), pid, sizeof pid - 1, 0);
                std::string holder = pid[0] ? " (pid " + std::string(pid, strcspn(pid, "\n")) + ")" : "";
                error("another norvd" + holder + " is already serving " + kDevicePrefix +
                      "1 on this machine; stop it first");
                fd_.reset();
                return false;
            }
            // The previous holder may have removed the file between our open
            // and our lock: then the lock is on a file nobody else will see.
            struct stat held {}, current {};
            if (fstat(fd_.get(), &held) == 0 && stat(kLockPath, &current) == 0 &&
                held.st_ino == current.st_ino && held.st_dev == current.st_dev)
                break;
        }
        std::string pid = std::to_string(getpid()) + "\n";
        if (ftruncate(fd_.get(), 0) == 0) (void)!pwrite(fd_.get(), pid.data(), pid.size(), 0);
        held_ = true;
        return true;
    }
    ~InstanceLock() {
        if (held_) unlink(kLockPath);
    }

private:
    Fd fd_;
    bool held_ = false;
};

// Removes the links that a norvd killed before it could clean up left behind.
bool remove_stale_links() {
    DIR *dir = opendir("/dev");
    if (dir == nullptr) return error(failed("opendir /dev")), false;
    static const std::regex name("rtf[0-9]+");
    bool ok = true;
    while (dirent *e = readdir(dir)) {
        if (!std::regex_match(e->d_name, name)) continue;
        std::string path = std::string("/dev/") + e->d_name;
        struct stat st {};
        if (lstat(path.c_str(), &st) < 0) continue;
        if (!S_ISLNK(st.st_mode)) {
            error(path + " exists and is not a link of norvd: is another timing service installed?");
            ok = false;
            continue;
        }
        if (unlink(path.c_str()) < 0)
            error(failed(("unlink " + path).c_str())), ok = false;
        else
            log("removed the stale link " + path);
    }
    closedir(dir);
    return ok;
}

}  // namespace
}  // namespace norvd

int main(int argc, char *argv[]) {
    using namespace norvd;
    Options opts;
    std::string err = parse_options(argc, argv, opts);
    if (!err.empty()) {
        std::string text = "norvd: " + err + "\n" + usage();
        (void)!write(STDERR_FILENO, text.data(), text.size());
        return 1;
    }
    if (opts.help) {
        std::string text = usage();
        (void)!write(STDOUT_FILENO, text.data(), text.size());
        return 0;
    }
    quiet = opts.quiet;
    if (geteuid() != 0) {
        error("needs root: it creates the devices /dev/rtf*");
        return 1;
    }

    InstanceLock lock;
    if (!lock.acquire()) return 1;
    if (!remove_stale_links()) return 1;

    ServiceConfig config;
    config.localId = opts.id;
    config.groupMask = group_mask(opts);
    config.clock = ServiceClock(opts.clockOffset, opts.clockDrift, real_time_now());

    Daemon daemon(opts, config);
    int status = daemon.start() ? daemon.run() : 1;
    daemon.shutdown();
    return status;
}
