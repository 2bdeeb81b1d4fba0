// daemon.h: norvd's daemon, the parts that serve the control channel.
//
// Serves the control channel on /dev/rtf1 and /dev/rtfN (control_channel.h),
// replies to the requests of every connection through the Service, talks to
// the norvds of the group's other machines over UDP (peer_group.h) and
// delivers the verdicts on registered sends as failure notices. One thread,
// one event loop (event_loop.h); signals arrive through a signalfd
// (signals.h; SIGHUP reads the configuration file again). The same loop
// responds to norvctl on the control socket (control_socket.h). Work that may
// block runs on workers of worker.h, each a thread that hands its results
// back through the loop: one looks for the holders of /dev/rtf1 when a client
// connects (holder_lookup.h), another resolves the peers given by name
// (peer_resolver.h). A thread of its own writes the metrics file
// (metrics_file.h).
#ifndef NORVD_DAEMON_H
#define NORVD_DAEMON_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/options.h"
#include "core/clock_watch.h"
#include "core/commands.h"
#include "core/control_protocol.h"
#include "core/group_key.h"
#include "fd.h"
#include "loop/event_loop.h"
#include "parts/control_channel.h"
#include "parts/observers.h"
#include "parts/peer_group.h"
#include "parts/verdict_delivery.h"
#include "setup/access_group.h"
#include "setup/signals.h"

namespace norvd {

class Daemon : public DaemonState {
public:
    // opts: the settings norvd runs with; cmdline: those of the command line
    // alone, which a reload of the configuration file does not override.
    // key: the group's key (peer messages version 2), or none (version 1).
    Daemon(const Options &opts, const Options &cmdline, const ServiceConfig &config, ClockWatch &clock,
           const AccessGroup &access, std::optional<GroupKey> key);

    bool start();
    int run();
    void shutdown();

    // What norvctl and the metrics file show (control_protocol.h).
    StatusView status() override;
    PeersView peers() override;
    std::vector<MachineVerdicts> verdicts() override;
    std::vector<ConnectionView> connections() override;
    uint64_t requests_read() override;
    // SIGHUP and norvctl reload: reads the configuration file again and
    // takes its peers and log level. Returns "" or why the running settings
    // were kept.
    std::string reload() override;

private:
    // Registers with the loop the deadlines and the work after each turn.
    void add_turn_work();

    // Writes a notice on its connection's device if it fits there now.
    bool write_notice(int connection, const uint8_t *record, size_t len);

    Options opts_;
    const Options cmdline_;
    AccessGroup access_;
    ClockWatch &clock_;
    Service service_;
    // Before every part that unwatches its descriptors when it goes.
    std::unique_ptr<EventLoop> loop_;
    std::unique_ptr<Signals> signals_;
    BaseTime startBase_;
    // The group's key, until the peer group takes it.
    std::optional<GroupKey> key_;
    std::unique_ptr<PeerGroup> peerGroup_;
    std::unique_ptr<ControlChannel> channel_;
    VerdictDelivery delivery_;
    std::unique_ptr<Observers> observers_;
    bool started_ = false;
};

}  // namespace norvd

#endif  // NORVD_DAEMON_H
