// peer_group.h: the norvds of the group's other machines.
//
// Holds the peers norvd runs with (each machine's host as configured: at
// start those of the settings, after a reload those of the file), the address
// of each that is known (written out, or resolved from its name), the names
// still to be resolved with their back-off, the peer socket (UDP port 16007)
// with the peer messages (peer_messages.h: seals and judges them), when each
// peer's address was last heard from and a message of it taken, and what the
// probes tell of each peer (peer_clock.h): every peer whose address is known
// is sent a request every second, and at once when norvd starts, when the
// peer is set, and when a new start of the peer is heard; a request is
// answered at once.
//
// It registers with the loop the peer socket and the resolver's results
// (descriptors), the next attempt at a name, the next probe and the look at
// the drop counters once a second (deadlines and work after each turn: the
// daemon calls add_resolve_work, add_probe_work and add_count_work where they
// belong in its order).
//
// The daemon calls it: start at start, set_peers at a reload, forward for
// each receipt the Service sends to another machine, view and authenticated
// for norvctl and the metrics file, log_counters(true) at the end. A receipt
// taken from a peer goes to the sink it was given: it knows nothing of the
// Service, with where it lies as far as the peer's clock offset tells (the
// receipt's time moved by the least that the offset's interval demands: not
// at all while the interval holds 0). Times in and out are on the base clock;
// the messages carry common time, converted here.
#ifndef NORVD_PEER_GROUP_H
#define NORVD_PEER_GROUP_H

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "config/options.h"
#include "core/base_receipt.h"
#include "core/clock_watch.h"
#include "core/control_protocol.h"
#include "core/group_key.h"
#include "core/peer_clock.h"
#include "core/peer_wire.h"
#include "fd.h"
#include "io/peer_messages.h"
#include "io/peer_resolver.h"
#include "loop/event_loop.h"
#include "norv.h"

namespace norvd {

class PeerGroup {
public:
    // A receipt taken from machine `from`; `reached`: when its message
    // arrived on this machine.
    using Sink = std::function<void(uint8_t from, const BaseReceipt &receipt, BaseTime reached)>;

    // localId: this machine; key: the group's key (version 2), or none
    // (version 1); bind: the address of the peer socket ("" = any);
    // startBase: this start of norvd, its epoch.
    PeerGroup(uint8_t localId, std::optional<GroupKey> key, std::string bind, ClockWatch &clock,
              BaseTime startBase, EventLoop &loop, Sink sink);
    // Stops watching its descriptors.
    ~PeerGroup();
    PeerGroup(const PeerGroup &) = delete;
    PeerGroup &operator=(const PeerGroup &) = delete;

    // Registers the next attempt at a name and the asks it makes.
    void add_resolve_work();
    // Registers the probes of the peers.
    void add_probe_work();
    // Registers the look at the drop counters, every second.
    void add_count_work();

    // Takes `peers` and, when there are any or a bind address, opens the
    // peer socket. False (logged) when it cannot.
    bool start(const Peers &peers);
    // Takes `peers` as the hosts of the group's machines: addresses at once,
    // names through the resolver.
    void set_peers(const Peers &peers, BaseTime now);
    // The peers it runs with.
    const Peers &peers() const { return peers_; }
    // Machine `id`'s host is a name not resolved yet.
    bool resolving(uint8_t id) const { return unresolved_.count(id) != 0; }

    bool authenticated() const { return messages_.authenticated(); }
    uint64_t epoch() const { return messages_.epoch(); }

    // Sends the receipt r to machine `to`, in common time.
    void forward(uint8_t to, const BaseReceipt &r);

    // The peers as norvctl and the metrics file show them.
    PeersView view();

    // The peer messages' counters, when more were dropped since they were
    // last logged (or always, at the end): at most a line a second, whatever
    // the rate of the drops.
    void log_counters(bool always);

private:
    // A peer given by name, until it resolves.
    struct Unresolved {
        std::string host;
        unsigned failures = 0;
        BaseTime due;         // next attempt
        bool asked = false;   // an attempt is under way
    };

    // What the probes tell of one peer.
    struct Probed {
        ProbeReach reach;
        OffsetEstimate offset;
        BaseTime nextProbe;
    };

    // Sends the requests that are due by `now`.
    void probe_due(BaseTime now);
    // Sends a probe to machine `to`; false when it could not.
    bool send_probe(uint8_t to, const peer::Probe &p);
    // A probe taken from machine `from`, whose message arrived at `reached`.
    void on_probe(uint8_t from, const peer::Probe &p, BaseTime reached);
    // A receipt of machine `from`, on this machine's base clock and within
    // the bounds its clock offset allows.
    BaseReceipt placed(uint8_t from, const peer::Receipt &r) const;

    // Watches `fd` in the loop; false (logged) when it cannot.
    bool watch(int fd, EventLoop::Handler handler);
    void on_peer();
    // Asks the resolver for the names whose next attempt is due.
    void ask_due(BaseTime now);
    void on_resolver();
    // When the next name is to be resolved.
    std::optional<BaseTime> next_attempt() const;

    const std::string bind_;
    ClockWatch &clock_;
    const BaseTime startBase_;
    EventLoop &loop_;
    const Sink sink_;
    norv::Fd socket_;
    PeerMessages messages_;
    Peers peers_;
    std::map<uint8_t, sockaddr_in> addresses_;  // the peers whose address is known
    std::map<uint8_t, Unresolved> unresolved_;
    // Counts the sets of peers taken: a result for an older one is stale.
    uint64_t generation_ = 0;
    std::unique_ptr<PeerResolver> resolver_;
    // When a message from each peer's address last came, and one was taken
    // (base times).
    std::array<std::optional<BaseTime>, MAX_MACHINES> heard_, accepted_;
    std::array<Probed, MAX_MACHINES> probed_;
    std::array<uint64_t, MAX_MACHINES> receipts_{};  // receipts taken from each
    uint64_t loggedDrops_ = 0;
    BaseTime nextCount_;
};

}  // namespace norvd

#endif  // NORVD_PEER_GROUP_H
