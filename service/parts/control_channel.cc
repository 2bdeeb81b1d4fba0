// control_channel.cc: the connect device and handshake, the connections' requests and their end.
#include "parts/control_channel.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "io/log.h"
#include "parts/fuse_device_maker.h"
#include "parts/pty_device_maker.h"
#include "wire.h"

namespace norvd {
namespace {

using namespace norv::wire;

constexpr size_t kMaxConnections = kConnectionShares.total;
// Housekeeping that no event drives: a look at every connection and at the
// answers still unread on the connect device.
constexpr uint64_t kTickNs = 1'000'000'000;
// A partial request whose rest has not come within this time is dropped when
// more bytes arrive: a client writes each request in one piece, so the head
// left by a client that has gone must not swallow the next client's request.
constexpr uint64_t kStalePartial = 100'000'000;

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

ControlChannel::ControlChannel(EventLoop &loop, Service &service, const AccessGroup &access,
                               Forwarder forward, Ended ended)
    : loop_(loop), service_(service), access_(access), forward_(std::move(forward)), ended_(std::move(ended)),
      channels_(kMaxConnections) {}

ControlChannel::~ControlChannel() { close(); }

bool ControlChannel::start_devices(DevicePath path) {
    DeviceMaker::Events events;
    events.ready = [this](ChannelDevice &dev, int status) { on_ready(dev, status); };
    events.readyBatchEnd = [this](BaseTime now) {
        // Their clients may have gone meanwhile: then nobody will read the numbers.
        if (flush_answers()) settle_connect_device(now);
    };
    events.input = [this](ChannelDevice &dev) { on_input(dev); };
    events.closed = [this](ChannelDevice &dev, BaseTime now) { on_closed(dev, now); };
    events.closedBatchEnd = [this] { release_limbo(); };
    if (path == DevicePath::kFuse)
        devices_ = FuseDeviceMaker::start(loop_, std::move(events));
    else
        devices_ = PtyDeviceMaker::start(loop_, std::move(events));
    return devices_ != nullptr;
}

bool ControlChannel::open() {
    // Only members of the access group may connect.
    connectDevice_ = devices_->make(kConnectDevice, DeviceAccess{0, access_.gid, 0660});
    if (!connectDevice_) return false;
    if (!devices_->wait_ready(*connectDevice_)) return log_error(failed("TIOCSCTTY in the guard")), false;
    dev_t node = 0;
    ino_t ino = 0;
    if (!connectDevice_->node_id(node, ino))
        return log_error(failed(("stat " + connectDevice_->node()).c_str())), false;
    DeviceId id{node, ino, connectDevice_->node().substr(connectDevice_->node().rfind('/') + 1)};
    std::string why;
    // The signals norvd takes through its signalfd are blocked by now, in
    // the lookup's thread as well.
    lookup_ = HolderLookup::start("/proc", id, connectDevice_->link(), why);
    if (!lookup_) return log_error(why), false;
    if (!loop_.watch(lookup_->fd(), EventLoop::kReadable, [this](uint32_t) { on_lookup(); }))
        return log_error(failed("epoll_ctl")), false;
    if (!devices_->publish(*connectDevice_, why)) return log_error(why), false;
    open_ = true;
    return true;
}

void ControlChannel::add_turn_work() {
    using Turn = EventLoop::Turn;
    loop_.add_deadline([this](BaseTime) { return std::optional(nextTick_); });
    loop_.add_after_turn([this](const Turn &t) { tick(t.now); });
    loop_.add_deadline([this](BaseTime) { return life_.next_due(); });
    loop_.add_after_turn([this](const Turn &t) {
        for (int n : life_.due(t.now)) check_connection(n, t.now);
    });
}

void ControlChannel::close() {
    while (!connections_.empty()) disconnect(connections_.begin()->first, "closed: norvd stops");
    if (devices_) devices_->drop(connectDevice_);
    if (lookup_) loop_.unwatch(lookup_->fd());
    lookup_.reset();
    devices_.reset();
}

ControlChannel::Connection *ControlChannel::owner_of(const ChannelDevice &dev, int &channel, Device &which) {
    auto it = connections_.find(dev.number());
    if (it != connections_.end() && it->second.request.get() == &dev) {
        channel = it->first;
        which = Device::kRequest;
        return &it->second;
    }
    it = connections_.find(dev.number() - kNoticeOffset);
    if (it != connections_.end() && it->second.notice.get() == &dev) {
        channel = it->first;
        which = Device::kNotice;
        return &it->second;
    }
    return nullptr;
}

size_t ControlChannel::connected() const {
    return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                             [](const auto &c) { return c.second.handshake.answered(); }));
}

void ControlChannel::on_ready(ChannelDevice &dev, int status) {
    int n;
    Device which;
    Connection *c = owner_of(dev, n, which);
    if (!c) return;
    if (status > 0) {
        errno = status;
        log_error("channel " + std::to_string(n) + ": " + failed("TIOCSCTTY in the guard"));
    }
    c->handshake.device_ready(status == 0);
}

void ControlChannel::on_lookup() {
    HolderLookup::Result r;
    while (lookup_->take(r)) {
        auto t = looks_.find(r.token);
        if (t == looks_.end()) continue;
        auto it = connections_.find(t->second);
        looks_.erase(t);
        if (it == connections_.end()) continue;
        it->second.handshake.looked();
        it->second.owner = r.owner;
        it->second.lookNs = r.tookNs;
    }
    if (flush_answers()) settle_connect_device(loop_.now());
}

void ControlChannel::on_closed(ChannelDevice &dev, BaseTime now) {
    int n;
    Device which;
    if (!owner_of(dev, n, which)) return;
    life_.client_closed(n, which, now);
    life_.seen(n, which, dev.held(), now);
}

void ControlChannel::on_input(ChannelDevice &dev) {
    RequestsRead got = read_requests(dev);
    BaseTime now = loop_.now();
    if (&dev == connectDevice_.get()) {
        settle_connect_device(now);
        return;
    }
    if (got.ended) return;  // the device has gone with command 1
    int n;
    Device which;
    if (!owner_of(dev, n, which)) return;
    if (which == Device::kRequest) {
        if (got.bytes != 0) life_.requests_read(n, now);
        life_.seen(n, Device::kRequest, dev.held(), now);
        release_limbo();
    } else {
        life_.seen(n, Device::kNotice, dev.held(), now);
    }
}

ControlChannel::RequestsRead ControlChannel::read_requests(ChannelDevice &dev) {
    uint8_t buf[4096];
    int number = dev.number();
    RequestsRead out;
    while (!out.ended) {
        ssize_t len = dev.read_input(buf, sizeof buf);
        if (len <= 0) {
            // EIO: no client holds the device and nothing is left to read.
            if (len < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
                log_error(failed("read"));
            return out;
        }
        out.bytes += static_cast<size_t>(len);
        BaseTime now = loop_.now();
        if (dev.parser.buffered() != 0 && now >= dev.lastInput + kStalePartial) {
            log_limited(event::kMalformedRequest, Severity::kWarning,
                        dev.link() + ": " + std::to_string(dev.parser.buffered()) +
                            " bytes of an unfinished request dropped: no more came for 100 ms");
            dev.parser.reset();
        }
        dev.lastInput = now;
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
            if (serve(dev, req, loop_.now())) {
                out.ended = true;
                break;
            }
        }
    }
    // Only command 1 leaves the loop.
    disconnect(number, "closed by its client");
    return out;
}

bool ControlChannel::serve(ChannelDevice &dev, const Request &req, BaseTime now) {
    if (&dev == connectDevice_.get()) {
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
    ++requestsRead_;
    Outcome out = service_.handle(dev.number(), req, now);
    if (!out.reply.empty()) reply(dev, out.reply, "reply");
    if (out.forward) forward_(*out.forward);
    return out.disconnect;
}

void ControlChannel::reply(ChannelDevice &dev, const std::vector<uint8_t> &bytes, const char *what) {
    if (!dev.write_record(bytes.data(), bytes.size()))
        log_limited(event::kDroppedReply, Severity::kWarning,
                    dev.link() + ": " + what + " dropped: its clients left " +
                        std::to_string(dev.unread()) + " bytes unread");
}

bool ControlChannel::answer(int32_t value, const char *what) {
    uint8_t bytes[kAnswerSize];
    put_i32le(bytes, kReplyAnswer, value);
    if (!connectDevice_->write_record(bytes, sizeof bytes)) {
        log_limited(event::kDroppedReply, Severity::kWarning,
                    connectDevice_->link() + ": " + what + " dropped: its clients left " +
                        std::to_string(connectDevice_->unread()) + " bytes unread");
        return false;
    }
    life_.answered(value);
    return true;
}

void ControlChannel::settle_connect_device(BaseTime now) {
    if (connectDevice_->held()) return;
    if (connectDevice_->parser.buffered() != 0) {
        log_limited(event::kMalformedRequest, Severity::kWarning,
                    connectDevice_->link() + ": last client closed it mid-request, " +
                        std::to_string(connectDevice_->parser.buffered()) + " bytes dropped");
        connectDevice_->parser.reset();
    }
    if (life_.unread_answers() == 0) return;
    uint8_t buf[kUnreadLimit + 64];
    size_t got = connectDevice_->take_back(buf, sizeof buf);
    for (int n : life_.answers_taken_back(got, now)) check_connection(n, now);
    release_limbo();
}

void ControlChannel::connect() {
    // The answer of a client that has gone would wait for the next client.
    if (!connectDevice_->held()) {
        log_limited(event::kRequestNotServed, Severity::kWarning,
                    connectDevice_->link() + ": command 0 of a client that has gone, ignored");
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
    c.since = loop_.now();
    uint32_t lookToken = nextLook_++;
    // Root's alone until the look for its user is done: no one else may
    // hold a descriptor of them from before their owner is set.
    DeviceAccess closed{0, access_.gid, 0600};
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
    std::vector<pid_t> ours = devices_->own_processes();
    ours.push_back(getpid());
    lookup_->ask(lookToken, std::move(ours));
    connections_[n] = std::move(c);
    answerOrder_.push_back(n);
}

void ControlChannel::refuse(int32_t value) {
    answerOrder_.push_back(value);
    flush_answers();
}

bool ControlChannel::flush_answers() {
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

bool ControlChannel::finish_connect(int n) {
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
    DeviceAccess access{0, access_.gid, 0660};
    if (c.owner.known) access = DeviceAccess{c.owner.uid, access_.gid, 0600};
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
                            : "group " + access_.name + " (0660): " + c.owner.why;
    log_info("channel " + std::to_string(n) + ": connected, " + c.request->link() + " -> " +
        c.request->node() + ", " + c.notice->link() + " -> " + c.notice->node() + ", for " + whose +
        "; holders looked up in " + took);
    return answer(n, "channel number");
}

void ControlChannel::abandon_connect(int n, int32_t refusal) {
    Connection &c = connections_[n];
    devices_->drop(c.request);
    devices_->drop(c.notice);
    connections_.erase(n);
    channels_.release(n);
    answer(refusal, "refusal");
}

void ControlChannel::disconnect(int n, const char *why) {
    auto it = connections_.find(n);
    if (it == connections_.end()) return;
    service_.connection_closed(n);
    ended_(n);
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
        if (open_ && !loop_.stopping()) flush_answers();
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

void ControlChannel::release_limbo() {
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

void ControlChannel::check_connection(int n, BaseTime now) {
    auto it = connections_.find(n);
    if (it == connections_.end() || !it->second.handshake.answered()) return;
    Connection &c = it->second;
    life_.seen(n, Device::kRequest, c.request->held(), now);
    life_.seen(n, Device::kNotice, c.notice->held(), now);
    Reclaim r = life_.verdict(n, now);
    if (r == Reclaim::kKeep) return;
    // Serve what its client wrote just before it closed.
    if (read_requests(*c.request).ended) return;  // command 1 among them
    bool requestHeld = it->second.request->held(), noticeHeld = it->second.notice->held();
    if (requestHeld || noticeHeld) {  // a client came back meanwhile
        life_.seen(n, Device::kRequest, requestHeld, now);
        life_.seen(n, Device::kNotice, noticeHeld, now);
        return;
    }
    disconnect(n, reclaim_reason(r));
}

bool ControlChannel::write_notice(int channel, const uint8_t *record, size_t len) {
    auto it = connections_.find(channel);
    return it != connections_.end() && it->second.notice->write_record(record, len);
}

std::vector<ConnectionView> ControlChannel::connections() const {
    std::vector<ConnectionView> out;
    BaseTime now = loop_.now();
    std::map<int, size_t> pending = service_.registrations().pending_by_connection();
    for (const auto &[n, c] : connections_) {
        if (!c.handshake.answered()) continue;  // still in the making
        ConnectionView v;
        v.channel = n;
        if (c.owner.known) v.uid = c.owner.uid;
        v.userName = c.owner.name;  // "" when not known
        v.requests = c.requests;
        v.pending = pending.count(n) ? pending[n] : 0;
        v.ageNs = now > c.since ? now - c.since : 0;
        out.push_back(v);
    }
    return out;
}

void ControlChannel::tick(BaseTime now) {
    if (now < nextTick_) return;
    nextTick_ = now + kTickNs;
    settle_connect_device(now);
    std::vector<int> all;
    for (const auto &[n, c] : connections_) all.push_back(n);
    for (int n : all) check_connection(n, now);
}

}  // namespace norvd
