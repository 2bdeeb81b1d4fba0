// daemon.cc: norvd's daemon: start, the connect handshake, requests,
// verdict delivery, reload, the views and the stop.
#include "daemon.h"

#include <arpa/inet.h>
#include <time.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/inotify.h>
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
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "access_group.h"
#include "address_check.h"
#include "channels.h"
#include "clock_watch.h"
#include "connection_life.h"
#include "control_socket.h"
#include "guard_keeper.h"
#include "commands.h"
#include "device_holders.h"
#include "event_loop.h"
#include "fd.h"
#include "holder_lookup.h"
#include "instance_lock.h"
#include "group_key.h"
#include "log.h"
#include "metrics_file.h"
#include "notice_queue.h"
#include "notify.h"
#include "options.h"
#include "peer_group.h"
#include "peer_wire.h"
#include "pty_device.h"
#include "service_clock.h"
#include "settings.h"
#include "signals.h"
#include "stale_links.h"
#include "user_shares.h"
#include "verdict_stats.h"
#include "wire.h"

namespace norvd {
namespace {

using namespace norv::wire;
using norv::Fd;

constexpr size_t kMaxConnections = kConnectionShares.total;
// Housekeeping that no event drives: a look at every connection and at the
// answers still unread on the registration device.
constexpr uint64_t kTickNs = 1'000'000'000;
// A partial request whose rest has not come within this time is dropped when
// more bytes arrive: a client writes each request in one piece, so the head
// left by a client that has gone must not swallow the next client's request.
constexpr uint64_t kStalePartial = 100'000'000;
// Rounds of requests read without waiting before verdicts are judged.
constexpr int kCatchUpRounds = 8;
// How often notices that wait for room are offered again: a client's reads
// give norvd no event, so while notices wait it looks on a timer. A device
// holds 84 notices, so a reader gets about 21000 a second, and a connection
// whose notices wait costs a wake-up and a look every 4 ms.
constexpr uint64_t kNoticeRetry = 4'000'000;
// A registration that misses a receipt is judged this long after its deadline
// plus grace, on the receipts that reached norvd by the deadline plus grace:
// a peer's message that arrived on this machine in time may still be on its
// way through the kernel to norvd's socket.
constexpr uint64_t kSettleNs = 2'000'000;

const char *reclaim_reason(Reclaim r) {
    switch (r) {
    case Reclaim::kAnswerTakenBack:
        return "reclaimed: its client left before reading its number";
    case Reclaim::kClosed:
        return "reclaimed: its client closed both devices";
    case Reclaim::kUnopened:
        return "reclaimed: its client never opened it";
    case Reclaim::kKeep:
        break;
    }
    return "reclaimed";
}

}  // namespace

Daemon::Daemon(const Options &opts, const Options &cmdline, const ServiceConfig &config, ClockWatch &clock,
               const AccessGroup &group, std::optional<GroupKey> key)
    : opts_(opts), cmdline_(cmdline), group_(group), clock_(clock), service_(config, process_log()),
      channels_(kMaxConnections), startBase_(clock.base_now()), key_(key),
      verdictStats_(config.groupMask, startBase_) {}

bool Daemon::watch(int fd, uint32_t events, EventLoop::Handler handler) {
    if (!loop_->watch(fd, events, std::move(handler))) {
        log_error(failed("epoll_ctl"));
        return false;
    }
    return true;
}

bool Daemon::start() {
    std::string why;
    loop_ = EventLoop::create([&clock = clock_] { return clock.base_now(); }, kCatchUpRounds, why);
    if (!loop_) return log_error(why), false;
    peerGroup_ = std::make_unique<PeerGroup>(
        opts_.id, std::move(key_), opts_.bind, clock_, startBase_, *loop_,
        [this](uint8_t from, const peer::Receipt &receipt, uint64_t reached) {
            service_.peer_receipt(from, receipt, reached);
        });
    key_.reset();
    add_turn_work();
    // Forked while norvd is small, before any device exists.
    DeviceMaker::Events events;
    events.guarded = [this](PtyDevice &dev, int status) { on_guarded(dev, status); };
    events.guardsAnswered = [this](uint64_t now) {
        // Their clients may have gone meanwhile: then nobody will read the numbers.
        if (flush_answers()) settle_registration(now);
    };
    events.input = [this](PtyDevice &dev) { on_master(dev); };
    events.closed = [this](PtyDevice &dev, uint64_t now) { on_closed(dev, now); };
    events.closesRead = [this] { release_limbo(); };
    devices_ = DeviceMaker::start(*loop_, std::move(events));
    if (!devices_) return false;

    Signals::Handlers handlers;
    handlers.stop = [this](int signo) {
        log_info(std::string("stopping on ") + strsignal(signo));
        loop_->stop();
    };
    handlers.reload = [this] { reload(); };
    // The keeper: it only ends when killed; on_keeper starts another.
    handlers.childExited = [] {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    };
    // Before the lookup's thread starts: it must not take the signals.
    signals_ = Signals::start(*loop_, std::move(handlers), why);
    if (!signals_) return log_error(why), false;

    // Names are resolved by the loop's first pass, once the devices serve.
    if (!peerGroup_->start(opts_.peers)) return false;

    // Only members of the group may connect.
    registration_ = devices_->make(kRegistrationDevice, DeviceAccess{0, group_.gid, 0660});
    if (!registration_) return false;
    if (!devices_->wait_guard(*registration_)) return log_error(failed("TIOCSCTTY in the guard")), false;
    struct stat st {};
    if (stat(registration_->pts().c_str(), &st) < 0)
        return log_error(failed(("stat " + registration_->pts()).c_str())), false;
    DeviceId id{st.st_dev, st.st_ino, registration_->pts().substr(registration_->pts().rfind('/') + 1)};
    // The signals norvd takes through its signalfd are blocked by now, in
    // the lookup's thread as well.
    lookup_ = HolderLookup::start("/proc", id, registration_->link(), why);
    if (!lookup_) return log_error(why), false;
    if (!watch(lookup_->fd(), EventLoop::kReadable, [this](uint32_t) { on_lookup(); })) return false;
    if (!devices_->publish(*registration_, why)) return log_error(why), false;

    std::string group;
    for (const auto &[id, host] : opts_.peers) {
        group += ", machine " + std::to_string(id) + " at " + host;
        if (peerGroup_->resolving(id)) group += " (to be resolved)";
    }
    log_info("machine " + std::to_string(opts_.id) + group + "; serving " + registration_->link() +
             " (" + registration_->pts() + ") to group " + group_.name);
    if (peerGroup_->authenticated())
        log_info("peer messages authenticated with the key of " + opts_.keyFile +
                 " (version 2), epoch " + std::to_string(peerGroup_->epoch()));
    else if (!opts_.peers.empty())
        log_warning("peer messages are not authenticated (version 1): whoever can send from a "
                    "peer's address speaks for that machine; give the group a key with --key-file");
    if (!start_observers()) return false;
    started_ = true;
    // /dev/rtf1 serves: a client started from now on finds it.
    if (std::string why = notify_manager("READY=1"); !why.empty()) log_warning(why);
    return true;
}

void Daemon::reload() {
    uint64_t now = clock_.base_now();
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    std::string reloading = "RELOADING=1\nMONOTONIC_USEC=" +
        std::to_string(static_cast<uint64_t>(mono.tv_sec) * 1'000'000 + static_cast<uint64_t>(mono.tv_nsec) / 1000);
    if (std::string why = notify_manager(reloading); !why.empty()) log_warning(why);
    Options next;
    bool found = false;
    std::string why = load_settings(cmdline_, opts_.bind, next, found);
    if (!why.empty()) {
        log_error("reload: " + why + "; the running settings are kept");
    } else {
        if (found)
            log_info("reload: read " + opts_.config);
        else
            log_info("reload: there is no configuration file " + opts_.config +
                     ": the settings are those of the command line");
        // What the service was built with stays until a restart.
        std::string restart;
        if (next.id != opts_.id) restart += ", id";
        if (next.bind != opts_.bind) restart += ", bind";
        if (next.group != opts_.group) restart += ", group";
        if (next.keyFile != opts_.keyFile) restart += ", key-file";
        if (next.controlSocket != opts_.controlSocket) restart += ", control-socket";
        if (next.metricsFile != opts_.metricsFile) restart += ", metrics-file";
        if (!restart.empty())
            log_warning("reload: changed settings take effect at a restart only: " + restart.substr(2));
        if (next.logLevel != opts_.logLevel) {
            opts_.logLevel = next.logLevel;
            process_log().set_level(next.logLevel);
            for (const char *name : {"error", "warning", "info", "debug"})
                if (parse_severity(name) == next.logLevel) log_info(std::string("reload: log level now ") + name);
        }
        if (cmdline_.given.peers) {
            log_info("reload: the peers were given on the command line: they stay");
        } else if (group_mask(opts_.id, next.peers) != group_mask(opts_)) {
            // The registrations judge receipts against the group they were
            // made with.
            log_warning("reload: the file names other machines than the group's: the machines of "
                        "the group change at a restart only; the peers stay");
        } else if (next.peers != peerGroup_->peers()) {
            std::string hosts;
            for (const auto &[id, host] : next.peers) hosts += ", machine " + std::to_string(id) + " at " + host;
            peerGroup_->set_peers(next.peers, now);
            log_info("reload: peers now" + (hosts.empty() ? std::string(" none") : hosts.substr(1)));
        } else {
            // Their names are resolved again: an address may have moved.
            peerGroup_->set_peers(next.peers, now);
            log_info("reload: the peers are unchanged");
        }
    }
    if (std::string ready = notify_manager("READY=1"); !ready.empty()) log_warning(ready);
}

int Daemon::run() { return loop_->run() ? 0 : 1; }

void Daemon::add_turn_work() {
    EventLoop &loop = *loop_;
    using Turn = EventLoop::Turn;
    // A step of the common clock is told, with the registrations it
    // touches, before anything read at this wake is served.
    loop.add_wake_hook([this] { clock_.check([this] { return service_.pending_ids(); }); });
    // The work after a turn, in this order: the names to resolve, the
    // control clients out of time, the metrics, the peer counters, the tick,
    // the connections whose time has come; then the log's counts of lines
    // suppressed, the notices that wait for room, and the verdicts. Every
    // timer runs on the base clock, which never steps.
    peerGroup_->add_resolve_work();
    loop.add_deadline([this](uint64_t) { return control_ ? control_->next_due() : std::nullopt; });
    loop.add_after_turn([this](const Turn &t) {
        if (control_) control_->expire(t.now);
    });
    loop.add_deadline([this](uint64_t) { return metrics_ ? std::optional(nextMetrics_) : std::nullopt; });
    loop.add_after_turn([this](const Turn &t) {
        if (!metrics_ || t.now < nextMetrics_) return;
        nextMetrics_ = t.now + static_cast<uint64_t>(opts_.metricsIntervalS) * 1'000'000'000;
        write_metrics();
    });
    peerGroup_->add_count_work();
    loop.add_deadline([this](uint64_t) { return std::optional(nextTick_); });
    loop.add_after_turn([this](const Turn &t) { tick(t.now); });
    loop.add_deadline([this](uint64_t) { return life_.next_due(); });
    loop.add_after_turn([this](const Turn &t) {
        for (int n : life_.due(t.now)) check_connection(n, t.now);
    });
    // The count of lines suppressed is told when their second is over.
    loop.add_deadline([](uint64_t) { return process_log().next_flush(); });
    loop.add_after_turn([](const Turn &) { process_log().flush(); });
    loop.add_deadline([this](uint64_t now) {
        return notices_.empty() ? std::nullopt : std::optional(now + kNoticeRetry);
    });
    loop.add_after_turn([this](const Turn &) { notices_.flush(noticeWriter_); });
    loop.add_deadline([this](uint64_t) -> std::optional<uint64_t> {
        auto due = service_.next_due();
        if (!due) return std::nullopt;
        return *due > UINT64_MAX - kSettleNs ? UINT64_MAX : *due + kSettleNs;
    });
    // Every request already readable is read before a verdict is judged: a
    // receipt that waited while norvd was busy still counts. What reached
    // norvd before `seen` was reported by the look that followed the
    // reading and has been read, so verdicts are judged as of `seen`.
    loop.add_after_turn([this](const Turn &t) { deliver_verdicts(t.seen > kSettleNs ? t.seen - kSettleNs : 0); });
}

void Daemon::tick(uint64_t now) {
    if (now < nextTick_) return;
    nextTick_ = now + kTickNs;
    settle_registration(now);
    std::vector<int> all;
    for (const auto &[n, c] : connections_) all.push_back(n);
    for (int n : all) check_connection(n, now);
}

void Daemon::on_guarded(PtyDevice &dev, int status) {
    int n = dev.number();
    auto it = connections_.find(n);
    if (it == connections_.end() || it->second.request.get() != &dev) {
        n = dev.number() - kNoticeOffset;
        it = connections_.find(n);
        if (it == connections_.end() || it->second.notice.get() != &dev) return;
    }
    if (status > 0) {
        errno = status;
        log_error("channel " + std::to_string(n) + ": " + failed("TIOCSCTTY in the guard"));
    }
    it->second.handshake.guard(status == 0);
}

void Daemon::on_lookup() {
    HolderLookup::Answer a;
    while (lookup_->take(a)) {
        auto t = looks_.find(a.token);
        if (t == looks_.end()) continue;
        auto it = connections_.find(t->second);
        looks_.erase(t);
        if (it == connections_.end()) continue;
        it->second.handshake.looked();
        it->second.owner = a.owner;
        it->second.lookNs = a.tookNs;
    }
    if (flush_answers()) settle_registration(clock_.base_now());
}

void Daemon::on_closed(PtyDevice &dev, uint64_t mono) {
    for (auto &[n, c] : connections_) {
        Device which;
        if (c.request.get() == &dev)
            which = Device::kRequest;
        else if (c.notice.get() == &dev)
            which = Device::kNotice;
        else
            continue;
        life_.client_closed(n, which, mono);
        life_.seen(n, which, dev.held(), mono);
        break;
    }
}

void Daemon::on_master(PtyDevice &dev) {
    int number = dev.number();
    Drained got = drain(dev);
    uint64_t mono = clock_.base_now();
    if (number == kRegistrationDevice) {
        settle_registration(mono);
        return;
    }
    if (got.ended) return;  // the device has gone with command 1
    auto it = connections_.find(number);
    if (it != connections_.end() && it->second.request.get() == &dev) {
        if (got.bytes != 0) life_.requests_read(number, mono);
        life_.seen(number, Device::kRequest, dev.held(), mono);
        release_limbo();
        return;
    }
    it = connections_.find(number - kNoticeOffset);
    if (it != connections_.end() && it->second.notice.get() == &dev)
        life_.seen(it->first, Device::kNotice, dev.held(), mono);
}

Daemon::Drained Daemon::drain(PtyDevice &dev) {
    uint8_t buf[4096];
    int number = dev.number();
    Drained out;
    while (!out.ended) {
        ssize_t len = read(dev.master(), buf, sizeof buf);
        if (len <= 0) {
            // EIO: no client holds the device and nothing is left to read.
            if (len < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
                log_error(failed("read"));
            return out;
        }
        out.bytes += static_cast<size_t>(len);
        uint64_t mono = clock_.base_now();
        if (dev.parser.buffered() != 0 && mono >= dev.lastInput + kStalePartial) {
            log_limited(event::kMalformedRequest, Severity::kWarning,
                        dev.link() + ": " + std::to_string(dev.parser.buffered()) +
                            " bytes of an unfinished request dropped: no more came for 100 ms");
            dev.parser.reset();
        }
        dev.lastInput = mono;
        dev.parser.feed(buf, static_cast<size_t>(len));
        Request req;
        std::string why;
        for (;;) {
            auto status = dev.parser.next(req, why);
            if (status == RequestParser::Status::kNeedMore) break;
            if (status == RequestParser::Status::kMalformed) {
                log_limited(event::kMalformedRequest, Severity::kWarning,
                            dev.link() + ": malformed request: " + why);
                break;
            }
            // Command 1: what follows it is not read, and the device goes
            // once the loop no longer reads it.
            if (serve(dev, req, clock_.base_now())) {
                out.ended = true;
                break;
            }
        }
    }
    // Only command 1 leaves the loop.
    disconnect(number, "closed by its client");
    return out;
}

bool Daemon::serve(PtyDevice &dev, const Request &req, uint64_t now) {
    if (&dev == registration_.get()) {
        if (req.command == command::kConnect && req.payload.empty())
            connect();
        else
            log_limited(event::kRequestNotServed, Severity::kWarning,
                        dev.link() + ": command " + std::to_string(req.command) + " with " +
                            std::to_string(req.payload.size()) +
                            " payload bytes ignored: only command 0 is served here");
        return false;
    }
    auto it = connections_.find(dev.number());
    if (it == connections_.end() || it->second.request.get() != &dev) {
        log_limited(event::kRequestNotServed, Severity::kWarning,
                    dev.link() + ": command " + std::to_string(req.command) +
                        " written on a notice FIFO, ignored");
        return false;
    }
    ++it->second.requests;
    Outcome out = service_.handle(dev.number(), req, now);
    if (!out.reply.empty()) reply(dev, out.reply, "reply");
    if (out.forward) peerGroup_->forward(out.forward->machine, out.forward->receipt);
    return out.disconnect;
}

void Daemon::reply(PtyDevice &dev, const std::vector<uint8_t> &bytes, const char *what) {
    if (!dev.write_record(bytes.data(), bytes.size()))
        log_limited(event::kDroppedReply, Severity::kWarning,
                    dev.link() + ": " + what + " dropped: its clients left " +
                        std::to_string(dev.unread()) + " bytes unread");
}

bool Daemon::answer(int32_t value, const char *what) {
    uint8_t bytes[kAnswerSize];
    put_i32le(bytes, kReplyAnswer, value);
    if (!registration_->write_record(bytes, sizeof bytes)) {
        log_limited(event::kDroppedReply, Severity::kWarning,
                    registration_->link() + ": " + what + " dropped: its clients left " +
                        std::to_string(registration_->unread()) + " bytes unread");
        return false;
    }
    life_.answered(value);
    return true;
}

void Daemon::settle_registration(uint64_t mono) {
    if (registration_->held()) return;
    if (registration_->parser.buffered() != 0) {
        log_limited(event::kMalformedRequest, Severity::kWarning,
                    registration_->link() + ": last client closed it mid-request, " +
                        std::to_string(registration_->parser.buffered()) + " bytes dropped");
        registration_->parser.reset();
    }
    if (life_.unread_answers() == 0) return;
    uint8_t buf[kUnreadLimit + 64];
    size_t got = registration_->take_back(buf, sizeof buf);
    for (int n : life_.answers_taken_back(got, mono)) check_connection(n, mono);
    release_limbo();
}

void Daemon::connect() {
    // The answer of a client that has gone would wait for the next client.
    if (!registration_->held()) {
        log_limited(event::kRequestNotServed, Severity::kWarning,
                    registration_->link() + ": command 0 of a client that has gone, ignored");
        return;
    }
    int n = channels_.allocate();
    if (n < 0) {
        log_limited(event::kRefusedRequest, Severity::kWarning,
                    "connection refused: " + std::to_string(kMaxConnections) +
                        " connections are live");
        refuse(NORV_REFUSED_TABLE_FULL);
        return;
    }
    Connection c;
    c.since = clock_.base_now();
    uint32_t lookToken = nextToken_++;
    // Root's alone until the look for its user has answered: no one else may
    // hold a descriptor of them from before their owner is set.
    DeviceAccess closed{0, group_.gid, 0600};
    c.request = devices_->make(n, closed);
    if (c.request) c.notice = devices_->make(n + kNoticeOffset, closed);
    if (!c.request || !c.notice) {
        devices_->drop(c.request);
        devices_->drop(c.notice);
        channels_.release(n);
        refuse(-1);
        return;
    }
    // The look begins after command 0 was read: its client holds /dev/rtf1
    // until it has read its answer, which waits for the look.
    looks_[lookToken] = n;
    lookup_->ask(lookToken, {getpid(), devices_->keeper_pid()});
    connections_[n] = std::move(c);
    answerOrder_.push_back(n);
}

void Daemon::refuse(int32_t value) {
    answerOrder_.push_back(value);
    flush_answers();
}

bool Daemon::flush_answers() {
    bool wrote = false;
    std::vector<int> unwritten;
    while (!answerOrder_.empty()) {
        int n = answerOrder_.front();
        if (n >= 0) {
            auto it = connections_.find(n);
            if (it == connections_.end()) {
                n = -1;  // ended before its number went out
            } else if (it->second.handshake.state() == ConnectHandshake::State::kAwaiting) {
                break;
            }
        }
        answerOrder_.pop_front();
        if (n < 0)
            answer(n, "refusal");
        else if (!finish_connect(n))
            unwritten.push_back(n);
        wrote = true;
    }
    for (int n : unwritten) disconnect(n, "ended: its number could not be written");
    return wrote;
}

bool Daemon::finish_connect(int n) {
    Connection &c = connections_[n];
    // Its user is known now, not at command 0: a user beyond its share (or
    // the unknown owner, whose share is one user's and never root's reserve)
    // is refused before its number goes out, as a full table is.
    c.account = c.owner.known ? Account::of(c.owner.uid) : Account::unknown();
    if (auto over = connectionShares_.may_take(c.account); over != UserShares::Refusal::kNone) {
        log_limited(event::kRefusedShare, Severity::kWarning, [&] {
            return "connection refused: " + connectionShares_.why(over, c.account, "connections");
        });
        abandon_connect(n, NORV_REFUSED_TABLE_FULL);
        return true;
    }
    // The owner is set before the link exists and before the number goes
    // out: whoever learns the number finds the devices closed to all others.
    DeviceAccess access{0, group_.gid, 0660};
    if (c.owner.known) access = DeviceAccess{c.owner.uid, group_.gid, 0600};
    std::string why;
    if (c.handshake.state() == ConnectHandshake::State::kFailed || !c.request->set_access(access, why) || !c.notice->set_access(access, why) ||
        !devices_->publish(*c.request, why) || !devices_->publish(*c.notice, why)) {
        if (!why.empty()) log_error(why);
        abandon_connect(n, -1);
        return true;
    }
    c.handshake.answer();
    connectionShares_.take(c.account);
    service_.set_account(n, c.account);
    char took[32];
    snprintf(took, sizeof took, "%.2f ms", static_cast<double>(c.lookNs) / 1e6);
    std::string whose = c.owner.known
                            ? "uid " + std::to_string(c.owner.uid) + " only (0600)"
                            : "group " + group_.name + " (0660): " + c.owner.why;
    log_info("channel " + std::to_string(n) + ": connected, " + c.request->link() + " -> " +
        c.request->pts() + ", " + c.notice->link() + " -> " + c.notice->pts() + ", for " + whose +
        "; holders looked up in " + took);
    return answer(n, "channel number");
}

void Daemon::abandon_connect(int n, int32_t refusal) {
    Connection &c = connections_[n];
    devices_->drop(c.request);
    devices_->drop(c.notice);
    connections_.erase(n);
    channels_.release(n);
    answer(refusal, "refusal");
}

void Daemon::disconnect(int n, const char *why) {
    auto it = connections_.find(n);
    if (it == connections_.end()) return;
    service_.connection_closed(n);
    if (size_t dropped = notices_.drop_connection(n))
        log_warning("channel " + std::to_string(n) + ": " + std::to_string(dropped) +
                    " failure notices that waited for its client dropped");
    devices_->drop(it->second.request);
    devices_->drop(it->second.notice);
    bool answered = it->second.handshake.answered();
    std::optional<Account> share;
    if (answered) share = it->second.account;
    connections_.erase(it);
    for (auto t = looks_.begin(); t != looks_.end();)
        t = t->second == n ? looks_.erase(t) : std::next(t);
    // Its client still waits for an answer: it is told that it has none.
    if (!answered) {
        std::replace(answerOrder_.begin(), answerOrder_.end(), n, -1);
        if (started_ && !loop_->stopping()) flush_answers();
    }
    life_.forget(n);
    if (life_.queued(n)) {
        limbo_[n] = share;
    } else {
        if (share) connectionShares_.give_back(*share);
        channels_.release(n);
    }
    log_info("channel " + std::to_string(n) + ": " + why);
}

void Daemon::release_limbo() {
    for (auto it = limbo_.begin(); it != limbo_.end();) {
        if (life_.queued(it->first)) {
            ++it;
        } else {
            if (it->second) connectionShares_.give_back(*it->second);
            channels_.release(it->first);
            it = limbo_.erase(it);
        }
    }
}

void Daemon::check_connection(int n, uint64_t mono) {
    auto it = connections_.find(n);
    if (it == connections_.end() || !it->second.handshake.answered()) return;
    Connection &c = it->second;
    life_.seen(n, Device::kRequest, c.request->held(), mono);
    life_.seen(n, Device::kNotice, c.notice->held(), mono);
    Reclaim r = life_.verdict(n, mono);
    if (r == Reclaim::kKeep) return;
    // Serve what its client wrote just before it closed.
    if (drain(*c.request).ended) return;  // command 1 among them
    bool requestHeld = it->second.request->held(), noticeHeld = it->second.notice->held();
    if (requestHeld || noticeHeld) {  // a client came back meanwhile
        life_.seen(n, Device::kRequest, requestHeld, mono);
        life_.seen(n, Device::kNotice, noticeHeld, mono);
        return;
    }
    disconnect(n, reclaim_reason(r));
}

void Daemon::deliver_verdicts(uint64_t now) {
    for (const Verdict &v : service_.take_due(now)) {
        verdictStats_.count(v.notice, now);
        std::string what = "registration " + std::to_string(v.notice.seq) + " judged: " +
                           describe(v.notice);
        auto it = connections_.find(v.connection);
        if (it == connections_.end()) {
            log_info(what + "; its connection has gone");
            continue;
        }
        NoticeQueue::Record record;
        encode_failure_notice(v.notice, record.data());
        switch (notices_.deliver(v.connection, record, noticeWriter_)) {
        case NoticeQueue::Fate::kWritten:
            log_info(what);
            break;
        case NoticeQueue::Fate::kQueued:
            log_info(what + "; notice waits for room, " +
                     std::to_string(notices_.waiting(v.connection)) + " waiting");
            break;
        case NoticeQueue::Fate::kDroppedConnectionFull:
            log_limited(event::kDroppedNotice, Severity::kWarning,
                        what + "; notice dropped: " + std::to_string(notices_.per_connection()) +
                            " notices wait for channel " + std::to_string(v.connection));
            break;
        case NoticeQueue::Fate::kDroppedAllFull:
            log_limited(event::kDroppedNotice, Severity::kWarning,
                        what + "; notice dropped: " + std::to_string(notices_.total_bytes()) +
                            " bytes of notices wait in all");
            break;
        }
    }
}

bool Daemon::write_notice(int connection, const uint8_t *record, size_t len) {
    auto it = connections_.find(connection);
    return it != connections_.end() && it->second.notice->write_record(record, len);
}

bool Daemon::start_observers() {
    std::string why;
    control_ = ControlSocket::open(
        opts_.controlSocket, group_.gid, *loop_,
        [this](std::string_view request) { return answer_control(request, *this); }, why);
    if (!control_) return log_error(why), false;
    std::string line = "control socket " + opts_.controlSocket + " for group " + group_.name;
    if (!opts_.metricsFile.empty()) {
        // Written once at start (a path that cannot be written, or where a
        // file that norvd did not write is, stops norvd); the writer's thread
        // does it from then on.
        metrics_ = MetricsFile::start(opts_.metricsFile,
                                      metrics_text({status(), peers(), verdicts(), connections()}), why);
        if (!metrics_) return log_error(why), false;
        nextMetrics_ = clock_.base_now() + static_cast<uint64_t>(opts_.metricsIntervalS) * 1'000'000'000;
        line += "; metrics to " + opts_.metricsFile + " every " + std::to_string(opts_.metricsIntervalS) + " s";
    }
    log_info(line);
    return true;
}

void Daemon::write_metrics() {
    // Told when the outcome changes, not at every write.
    if (std::string why = metrics_->last_error(); why != metricsError_) {
        if (why.empty())
            log_info("metrics file " + metrics_->path() + " written again");
        else
            log_warning("metrics file: " + why);
        metricsError_ = why;
    }
    metrics_->publish(metrics_text({status(), peers(), verdicts(), connections()}));
}

StatusView Daemon::status() {
    StatusView s;
    uint64_t now = clock_.base_now();
    const Registrations &r = service_.registrations();
    s.machine = opts_.id;
    s.group = r.group();
    s.uptimeNs = now > startBase_ ? now - startBase_ : 0;
    s.baseNs = now;
    s.clockOffsetNs = opts_.clockOffset;
    s.clockDriftPpm = opts_.clockDrift;
    s.commonMinusBaseNs = clock_.difference();
    s.sync = clock_.sync_now();
    s.authenticated = peerGroup_->authenticated();
    s.connections = static_cast<size_t>(std::count_if(
        connections_.begin(), connections_.end(), [](const auto &c) { return c.second.handshake.answered(); }));
    s.pendingRegistrations = r.pending();
    s.registrations = r.made();
    s.refusedRegistrations = r.refused();
    s.noticesWaiting = notices_.waiting_notices();
    s.noticesDropped = notices_.dropped();
    s.controlClients = control_ ? control_->clients() : 0;
    return s;
}

PeersView Daemon::peers() { return peerGroup_->view(); }

std::vector<MachineVerdicts> Daemon::verdicts() {
    std::vector<MachineVerdicts> out;
    uint64_t now = clock_.base_now();
    for (uint8_t m = 0; m < MAX_MACHINES; ++m)
        if (verdictStats_.group() & (1u << m)) out.push_back(verdictStats_.machine(m, now));
    return out;
}

std::vector<ConnectionView> Daemon::connections() {
    std::vector<ConnectionView> out;
    uint64_t now = clock_.base_now();
    std::map<int, size_t> pending = service_.registrations().pending_by_connection();
    for (const auto &[n, c] : connections_) {
        if (!c.handshake.answered()) continue;  // still in the making
        ConnectionView v;
        v.channel = n;
        if (c.owner.known) v.uid = c.owner.uid;
        v.requests = c.requests;
        v.pending = pending.count(n) ? pending[n] : 0;
        v.noticesWaiting = notices_.waiting(n);
        v.ageNs = now > c.since ? now - c.since : 0;
        out.push_back(v);
    }
    return out;
}

void Daemon::shutdown() {
    if (started_)
        if (std::string why = notify_manager("STOPPING=1"); !why.empty()) log_warning(why);
    control_.reset();
    metrics_.reset();
    while (!connections_.empty()) disconnect(connections_.begin()->first, "closed: norvd stops");
    if (devices_) devices_->drop(registration_);
    lookup_.reset();
    devices_.reset();
    if (started_) {
        peerGroup_->log_counters(true);
        log_info("stopped");
    }
}

}  // namespace norvd
