// peer_group.cc: the norvds of the group's other machines.
#include "parts/peer_group.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <utility>

#include "config/address_check.h"
#include "io/arrival_stamp.h"
#include "io/log.h"

namespace norvd {

// How often the drop counters are looked at: a flood of dropped messages
// costs at most a line a second.
constexpr uint64_t kCountNs = 1'000'000'000;

PeerGroup::PeerGroup(uint8_t localId, std::optional<GroupKey> key, std::string bind, ClockWatch &clock,
                     BaseTime startBase, EventLoop &loop, Sink sink)
    : bind_(std::move(bind)), clock_(clock), startBase_(startBase), loop_(loop), sink_(std::move(sink)),
      messages_(localId, key, clock.to_common(startBase)) {}

PeerGroup::~PeerGroup() {
    if (resolver_) loop_.unwatch(resolver_->fd());
    if (socket_.valid()) loop_.unwatch(socket_.get());
}

bool PeerGroup::watch(int fd, EventLoop::Handler handler) {
    if (!loop_.watch(fd, EventLoop::kReadable, std::move(handler))) {
        log_error(failed("epoll_ctl"));
        return false;
    }
    return true;
}

void PeerGroup::add_resolve_work() {
    loop_.add_deadline([this](BaseTime) { return next_attempt(); });
    loop_.add_after_turn([this](const EventLoop::Turn &t) { ask_due(t.now); });
}

void PeerGroup::add_probe_work() {
    loop_.add_deadline([this](BaseTime) -> std::optional<BaseTime> {
        if (!socket_.valid()) return std::nullopt;
        std::optional<BaseTime> due;
        for (const auto &[id, addr] : addresses_)
            if (!due || probed_[id].nextProbe < *due) due = probed_[id].nextProbe;
        return due;
    });
    loop_.add_after_turn([this](const EventLoop::Turn &t) { probe_due(t.now); });
}

void PeerGroup::probe_due(BaseTime now) {
    if (!socket_.valid()) return;
    for (const auto &[id, addr] : addresses_) {
        Probed &p = probed_[id];
        if (p.nextProbe > now) continue;
        p.nextProbe = now + kProbeIntervalNs;
        // The origin is read last, just before the send: the request leaves
        // after it.
        CommonTime origin = clock_.to_common(clock_.base_now());
        p.reach.sent(origin);
        send_probe(id, peer::Probe{0, id, peer::kProbeRequest, origin.ns, 0, 0});
    }
}

bool PeerGroup::send_probe(uint8_t to, const peer::Probe &p) {
    auto it = addresses_.find(to);
    if (it == addresses_.end()) return false;
    uint8_t msg[kMaxPeerMessage];
    size_t len = messages_.seal(to, p, msg);
    if (sendto(socket_.get(), msg, len, 0, reinterpret_cast<const sockaddr *>(&it->second), sizeof it->second) < 0) {
        log_limited(event::kFailedPeerSend, Severity::kWarning, failed("sendto"));
        return false;
    }
    return true;
}

void PeerGroup::on_probe(uint8_t from, const peer::Probe &p, BaseTime reached) {
    if (p.kind == peer::kProbeRequest) {
        CommonTime received = clock_.to_common(reached);
        CommonTime transmit = clock_.to_common(clock_.base_now());
        send_probe(from, peer::Probe{0, from, peer::kProbeAnswer, p.origin, std::max<uint64_t>(received.ns, 1),
                                     std::max<uint64_t>(transmit.ns, 1)});
        return;
    }
    Probed &state = probed_[from];
    // Only the first answer to one of the last requests counts: an answer
    // played again, or made up without a request, does not.
    if (!state.reach.answered(CommonTime(p.origin), reached)) return;
    Exchange e{CommonTime(p.origin), CommonTime(p.received), CommonTime(p.transmit), clock_.to_common(reached)};
    std::string machine = "machine " + std::to_string(from);
    auto sample = measure(e, reached, clock_.difference());
    if (!sample) {
        log_limited(event::kBadProbe, Severity::kWarning, [&] {
            return machine + ": a probe's answer with times that cannot be (sent " + std::to_string(e.requestSent.ns) +
                   ", received " + std::to_string(p.received) + ", answered " + std::to_string(p.transmit) +
                   ", back " + std::to_string(e.answerReceived.ns) + "), ignored";
        });
        return;
    }
    if (!state.offset.add(*sample))
        log_limited(event::kOffsetJump, Severity::kWarning, [&] {
            return machine + ": clock offset now between " + std::to_string(sample->offset.low) + " and " +
                   std::to_string(sample->offset.high) +
                   " ns, outside what the earlier exchanges allow: a clock stepped or ran apart faster than " +
                   std::to_string(kDriftBoundPpm) + " ppm; the earlier exchanges are forgotten";
        });
    if (process_log().shows(Severity::kDebug))
        log_debug(machine + ": clock offset between " + std::to_string(sample->offset.low) + " and " +
                  std::to_string(sample->offset.high) + " ns at base " + std::to_string(reached.ns) +
                  " ns, round trip " + std::to_string(sample->roundTripNs) + " ns");
}

// t - by, kept in the range of a time.
template <class Time>
static Time moved_back(Time t, int64_t by) {
    if (by >= 0) return t.ns >= static_cast<uint64_t>(by) ? t - static_cast<uint64_t>(by) : Time();
    uint64_t up = static_cast<uint64_t>(-(by + 1)) + 1;
    return t.ns > UINT64_MAX - up ? Time(UINT64_MAX) : t + up;
}

BaseReceipt PeerGroup::placed(uint8_t from, const peer::Receipt &r) const {
    CommonTime told(r.receiptTime);
    BaseTime naive = clock_.to_base(told);
    BaseReceipt out{r.receiver, r.registrationId, naive, std::nullopt};
    auto offset = probed_[from].offset.at(naive, clock_.difference());
    if (!offset) return out;
    // The peer's clock stands `offset` ahead of this one: its receipt came
    // when this machine's common clock read its time minus the offset. While
    // 0 is a possible offset the time stays as the peer told it (the clocks
    // agree as far as anyone knows).
    auto here = [&](int64_t by) { return clock_.to_base(moved_back(told, by)); };
    out.receiptTime = here(std::clamp<int64_t>(0, offset->low, offset->high));
    // One more ns each way for the rounding of the conversion.
    out.bounds = ReceiptBounds{moved_back(here(offset->high), 1), moved_back(here(offset->low), -1), *offset};
    return out;
}

void PeerGroup::add_count_work() {
    loop_.add_deadline([this](BaseTime) { return std::optional(nextCount_); });
    loop_.add_after_turn([this](const EventLoop::Turn &t) {
        if (t.now < nextCount_) return;
        nextCount_ = t.now + kCountNs;
        log_counters(false);
    });
}

bool PeerGroup::start(const Peers &peers) {
    set_peers(peers, clock_.base_now());
    if (peers.empty() && bind_.empty()) return true;
    socket_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket_.valid()) return log_error(failed("socket")), false;
    // Without the kernel's stamps a receipt counts from when it is read.
    if (!stamp_arrivals(socket_.get())) log_warning(failed("setsockopt SO_TIMESTAMPNS"));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(peer::kPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bind_.empty() && inet_pton(AF_INET, bind_.c_str(), &local.sin_addr) != 1) {
        log_error("--bind needs an IPv4 address, not '" + bind_ + "'");
        return false;
    }
    if (bind(socket_.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
        return log_error(failed("bind")), false;
    return watch(socket_.get(), [this](uint32_t) { on_peer(); });
}

void PeerGroup::set_peers(const Peers &peers, BaseTime now) {
    ++generation_;
    std::map<uint8_t, sockaddr_in> known;
    unresolved_.clear();
    for (const auto &[id, host] : peers) {
        if (auto addr = numeric_peer(host)) {
            known[id] = *addr;
            continue;
        }
        // A name that resolved before keeps its address until it resolves
        // again: a reload does not cut off a peer that is heard for a while.
        auto it = addresses_.find(id);
        auto old = std::find_if(peers_.begin(), peers_.end(), [&](const auto &p) { return p.first == id; });
        if (it != addresses_.end() && old != peers_.end() && old->second == host) known[id] = it->second;
        unresolved_[id] = Unresolved{host, 0, now, false};
    }
    // A machine new to the group, or on another host, is probed at once, and
    // nothing known of the one before stays.
    for (const auto &[id, host] : peers) {
        auto old = std::find_if(peers_.begin(), peers_.end(), [&](const auto &p) { return p.first == id; });
        if (old == peers_.end() || old->second != host) {
            probed_[id] = Probed{};
            probed_[id].nextProbe = now;
        }
    }
    addresses_ = std::move(known);
    peers_ = peers;
}

void PeerGroup::ask_due(BaseTime now) {
    for (auto &[id, u] : unresolved_) {
        if (u.asked || u.due > now) continue;
        if (!resolver_) {
            std::string why;
            resolver_ = PeerResolver::start(why);
            if (!resolver_) return log_error(why);
            if (!watch(resolver_->fd(), [this](uint32_t) { on_resolver(); })) {
                resolver_.reset();
                return;
            }
        }
        resolver_->ask(id, u.host, generation_);
        u.asked = true;
    }
}

void PeerGroup::on_resolver() {
    PeerResolver::Result result;
    BaseTime now = clock_.base_now();
    while (resolver_->take(result)) {
        auto it = unresolved_.find(result.id);
        if (result.generation != generation_ || it == unresolved_.end()) continue;
        Unresolved &u = it->second;
        std::string machine = "machine " + std::to_string(result.id) + " at " + u.host;
        LookupFailure failure = result.failure;
        if (!result.addrs.empty()) {
            // The first address that is another machine's is taken; a name
            // may lead back to this machine (its own host name) or to a
            // broadcast address as easily as an address written out.
            Machine here;
            if (std::string why = local_machine(here); !why.empty())
                log_warning(machine + ": " + why + "; only loopback addresses count as this machine's");
            uint32_t bind = 0;
            if (!bind_.empty()) parse_ipv4(bind_, bind);
            const sockaddr_in *taken = nullptr;
            for (const sockaddr_in &addr : result.addrs) {
                char text[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
                std::string why = peer_address_problem(ntohl(addr.sin_addr.s_addr), bind, here);
                if (why.empty()) {
                    log_info(machine + ": resolved to " + text);
                    taken = &addr;
                    break;
                }
                log_error(machine + ": resolves to " + text + ", " + why + "; the address is not used");
            }
            if (taken != nullptr) {
                addresses_[result.id] = *taken;
                probed_[result.id].nextProbe = now;
                unresolved_.erase(it);
                continue;
            }
            failure = LookupFailure{"none of its addresses can be a peer's", true};
        }
        u.asked = false;
        ++u.failures;
        // A lasting failure is a mistake that only its owner can mend, by
        // changing the name's addresses (or the file, and a reload): tried
        // again at the slowest pace, a line a minute that says what is wrong.
        uint64_t wait = resolve_backoff(failure.lasting ? UINT_MAX : u.failures);
        u.due = now + wait;
        std::string line = machine + ": not resolved (" + failure.why + "), attempt " +
                           std::to_string(u.failures) + "; next attempt in " +
                           std::to_string(wait / 1'000'000'000) + " s";
        if (failure.lasting)
            log_error(line);
        else
            log_warning(line);
    }
}

std::optional<BaseTime> PeerGroup::next_attempt() const {
    std::optional<BaseTime> due;
    for (const auto &[id, u] : unresolved_)
        if (!u.asked && (!due || u.due < *due)) due = u.due;
    return due;
}

void PeerGroup::on_peer() {
    uint8_t buf[512];
    for (;;) {
        sockaddr_in from{};
        std::optional<CommonTime> arrival;
        ssize_t len = recv_stamped(socket_.get(), buf, sizeof buf, from, arrival);
        if (len < 0) break;
        BaseTime read = clock_.base_now();
        // The kernel stamps arrivals on the system's common clock.
        BaseTime reached = arrival ? clock_.system_to_base(arrival->ns) : read;
        int machine = -1;
        for (const auto &[id, addr] : addresses_)
            if (addr.sin_addr.s_addr == from.sin_addr.s_addr && addr.sin_port == from.sin_port)
                machine = id;
        auto opened = messages_.open(machine, buf, static_cast<size_t>(len), clock_.to_common(startBase_));
        if (machine >= 0) {
            heard_[machine] = reached;
            if (opened.drop == PeerDrop::kNone) accepted_[machine] = reached;
        }
        auto sender = [&] {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            return std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
        };
        // A flood costs no text while its lines are suppressed.
        switch (opened.drop) {
        case PeerDrop::kNone:
            break;
        case PeerDrop::kNotPeer:
            log_limited(event::kNonPeerDatagram, Severity::kWarning, [&] {
                return "ignored " + std::to_string(len) + " bytes from " + sender() + ", not a peer";
            });
            continue;
        case PeerDrop::kMalformed:
            log_limited(event::kMalformedPeerMessage, Severity::kWarning, [&] {
                return "ignored a malformed message of " + std::to_string(len) + " bytes from machine " +
                       std::to_string(machine);
            });
            continue;
        default:
            log_limited(event::kDroppedPeerMessage, Severity::kWarning, [&] {
                return "dropped a message of " + std::to_string(len) + " bytes from machine " +
                       std::to_string(machine) + " (" + sender() + "): " + drop_reason(opened.drop);
            });
            continue;
        }
        uint8_t m = static_cast<uint8_t>(machine);
        if (opened.newEpoch) {
            log_info("machine " + std::to_string(machine) + ": first message of its start at epoch " +
                std::to_string(opened.epoch));
            // A peer that has just started knows nothing of this machine yet.
            probed_[m].nextProbe = std::min(probed_[m].nextProbe, clock_.base_now());
        }
        if (opened.probe) {
            // A probe's times are read on the base clock, after its arrival:
            // the kernel's stamp is closer to it, but on the system's common
            // clock, which stands from the base clock by a measured
            // difference known only to within a microsecond; an offset's
            // interval must rest on readings of one clock.
            on_probe(m, *opened.probe, read);
            continue;
        }
        ++receipts_[m];
        sink_(m, placed(m, *opened.receipt), reached);
    }
}

void PeerGroup::forward(uint8_t to, const BaseReceipt &receipt) {
    auto it = addresses_.find(to);
    if (it == addresses_.end() || !socket_.valid()) {
        // Not kept for later: the receipt is due at the other machine by its
        // registration's deadline, long before a name that failed resolves.
        if (auto u = unresolved_.find(to); u != unresolved_.end())
            log_limited(event::kUnsentReceipt, Severity::kWarning,
                        "receipt for machine " + std::to_string(to) + " not sent: " + u->second.host +
                            " is not resolved yet");
        return;
    }
    peer::Receipt r{receipt.receiver, receipt.registrationId, clock_.to_common(receipt.receiptTime).ns};
    uint8_t msg[kMaxPeerMessage];
    size_t len = messages_.seal(to, r, msg);
    if (sendto(socket_.get(), msg, len, 0, reinterpret_cast<const sockaddr *>(&it->second),
               sizeof it->second) < 0)
        log_limited(event::kFailedPeerSend, Severity::kWarning, failed("sendto"));
}

void PeerGroup::log_counters(bool always) {
    const PeerCounters &c = messages_.counters();
    if (c.dropped() == loggedDrops_ && !(always && socket_.valid())) return;
    loggedDrops_ = c.dropped();
    if (c.dropped() != 0)
        log_warning("peer messages: " + describe(c));
    else
        log_info("peer messages: " + describe(c));
}

PeersView PeerGroup::view() {
    PeersView p;
    BaseTime now = clock_.base_now();
    auto ago = [now](std::optional<BaseTime> at) -> std::optional<uint64_t> {
        if (!at) return std::nullopt;
        return now > *at ? now - *at : 0;
    };
    for (const auto &[id, host] : peers_) {
        PeerView v;
        v.machine = id;
        v.host = host;
        if (auto it = addresses_.find(id); it != addresses_.end()) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &it->second.sin_addr, text, sizeof text);
            v.address = std::string(text) + ":" + std::to_string(ntohs(it->second.sin_port));
        }
        v.heardAgoNs = ago(heard_[id]);
        v.acceptedAgoNs = ago(accepted_[id]);
        if (heard_[id]) v.heardAtCommonNs = clock_.to_common(*heard_[id]).ns;
        v.counters = messages_.counters(id);
        v.receipts = receipts_[id];
        const Probed &probed = probed_[id];
        v.reachable = probed.reach.reachable(now);
        v.reach = probed.reach.reach();
        v.probes = probed.reach.probes();
        v.answeredAgoNs = ago(probed.reach.last_answer());
        if (auto last = probed.offset.last()) v.roundTripNs = last->roundTripNs;
        v.offset = probed.offset.at(now, clock_.difference());
        p.peers.push_back(v);
    }
    std::sort(p.peers.begin(), p.peers.end(), [](const PeerView &a, const PeerView &b) { return a.machine < b.machine; });
    p.notPeer = messages_.counters().notPeer;
    return p;
}

}  // namespace norvd
