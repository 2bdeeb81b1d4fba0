// daemon.h: norvd's daemon, the parts that serve the control channel.
//
// Serves the control channel on /dev/rtf1 and /dev/rtfN (pseudo-terminals),
// answers the requests of every connection through the Service, talks to the
// norvds of the group's other machines over UDP (peer_group.h) and delivers
// the verdicts on registered sends as failure notices. One thread, one event
// loop (event_loop.h); signals arrive through a signalfd (signals.h; SIGHUP
// reads the configuration file again). The same loop answers norvctl on the
// control socket (control_socket.h). Work that may block runs on workers of
// worker.h, each a thread that hands its answers back through the loop: one
// looks for the holders of /dev/rtf1 when a client connects
// (holder_lookup.h), another resolves the peers given by name
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

#include "access_group.h"
#include "channels.h"
#include "clock_watch.h"
#include "commands.h"
#include "connect_handshake.h"
#include "connection_life.h"
#include "control_protocol.h"
#include "control_socket.h"
#include "device_holders.h"
#include "device_maker.h"
#include "event_loop.h"
#include "fd.h"
#include "group_key.h"
#include "holder_lookup.h"
#include "metrics_file.h"
#include "notice_queue.h"
#include "options.h"
#include "peer_group.h"
#include "pty_device.h"
#include "signals.h"
#include "user_shares.h"
#include "verdict_stats.h"

namespace norvd {

struct Connection {
    std::unique_ptr<PtyDevice> request;
    std::unique_ptr<PtyDevice> notice;
    ConnectHandshake handshake;
    Owner owner;            // whose its devices are, as far as norvd can tell
    Account account;        // charged with it once answered (user_shares.h)
    uint64_t lookNs = 0;    // how long that look took
    uint64_t since = 0;     // base time of its command 0
    uint64_t requests = 0;  // read from its request device
};

class Daemon : public DaemonState {
public:
    // opts: the settings norvd runs with; cmdline: those of the command line
    // alone, which a reload of the configuration file does not override.
    // key: the group's key (peer messages version 2), or none (version 1).
    Daemon(const Options &opts, const Options &cmdline, const ServiceConfig &config, ClockWatch &clock,
           const AccessGroup &group, std::optional<GroupKey> key);

    bool start();
    int run();
    void shutdown();

    // What norvctl and the metrics file show (control_protocol.h).
    StatusView status() override;
    PeersView peers() override;
    std::vector<MachineVerdicts> verdicts() override;
    std::vector<ConnectionView> connections() override;

private:
    // Watches `fd` in the loop; false (logged) when it cannot.
    bool watch(int fd, uint32_t events, EventLoop::Handler handler);
    // Registers with the loop the deadlines and the work after each turn.
    void add_turn_work();

    // SIGHUP: reads the configuration file again and takes its peers.
    void reload();
    // The guard of a device of a connection in the making answered.
    void on_guarded(PtyDevice &dev, int status);
    // Answers of the look for the holders of /dev/rtf1.
    void on_lookup();
    // A client closed a device.
    void on_closed(PtyDevice &dev, uint64_t now);
    void on_master(PtyDevice &dev);
    struct Drained {
        size_t bytes = 0;
        bool ended = false;  // its client ended the connection: the device is gone
    };
    // Reads and serves every request waiting on the device, each with the
    // clock read after the request was: a stamp is never older than the
    // request that asked for it. Command 1 ends the connection once it has
    // been served, and nothing after it is read.
    Drained drain(PtyDevice &dev);
    // Returns whether the request ends its connection.
    bool serve(PtyDevice &dev, const Request &req, uint64_t now);
    void connect();
    // Writes the answers to command 0 that are ready, in the order of the
    // commands: clients read them in that order. Returns whether it wrote.
    // Connections whose number could not be written are ended once the
    // answers are out: they are answered, so their end writes nothing.
    bool flush_answers();
    void refuse(int32_t value);
    // Gives the connection's devices their owner and publishes them; writes
    // its number, or a refusal. False when its number could not be written:
    // the connection is to be ended.
    bool finish_connect(int n);
    // Ends connection n in the making, its number never written: answers
    // `refusal` in its place.
    void abandon_connect(int n, int32_t refusal);
    // Writes an answer to command 0; false (logged) when it does not fit.
    bool answer(int32_t value, const char *what);
    void disconnect(int n, const char *why);
    void reply(PtyDevice &dev, const std::vector<uint8_t> &bytes, const char *what);
    void deliver_verdicts(uint64_t now);
    // The registration device has no client: what is left on it is theirs
    // no more.
    void settle_registration(uint64_t now);
    void check_connection(int n, uint64_t now);
    void release_limbo();
    // Every kTickNs: the registration device and every connection looked
    // at.
    void tick(uint64_t now);
    // Opens the control socket and starts the metrics file's writer.
    bool start_observers();
    // Hands the metrics of now to the writer, and tells when its outcome
    // changed.
    void write_metrics();
    // Writes a notice on its connection's device if it fits there now.
    bool write_notice(int connection, const uint8_t *record, size_t len);

    Options opts_;
    const Options cmdline_;
    AccessGroup group_;
    ClockWatch &clock_;
    Service service_;
    ChannelTable channels_;
    // The answered connections of each user. A channel is taken at command 0,
    // before its owner is known; the share is checked when the look has
    // told it, before the number goes out.
    UserShares connectionShares_{kConnectionShares};
    ConnectionLife life_;
    // Before every part that unwatches its descriptors when it goes.
    std::unique_ptr<EventLoop> loop_;
    std::unique_ptr<Signals> signals_;
    uint64_t startBase_;  // on the base clock
    // The group's key, until the peer group takes it.
    std::optional<GroupKey> key_;
    std::unique_ptr<PeerGroup> peerGroup_;
    std::unique_ptr<DeviceMaker> devices_;
    std::unique_ptr<HolderLookup> lookup_;
    std::unique_ptr<PtyDevice> registration_;
    std::map<int, Connection> connections_;
    std::map<uint32_t, int> looks_;   // looks asked for: token -> channel
    uint32_t nextToken_ = 0;
    // The answers to command 0 not yet written, in the order of the
    // commands: a channel in the making, or a refusal (< 0).
    std::deque<int> answerOrder_;
    // Ended connections whose answer is still unread: their numbers wait,
    // and so does the share of the user of an answered one (nothing for one
    // ended before its answer), or ending connections at once would let one
    // user fill the table with numbers nobody can take.
    std::map<int, std::optional<Account>> limbo_;
    uint64_t nextTick_ = 0;
    VerdictStats verdictStats_;
    std::unique_ptr<ControlSocket> control_;
    std::unique_ptr<MetricsFile> metrics_;
    uint64_t nextMetrics_ = 0;
    std::string metricsError_;  // the outcome of the last write logged
    NoticeQueue notices_;  // notices that did not fit in their device yet
    const NoticeQueue::Writer noticeWriter_ = [this](int c, const uint8_t *record, size_t len) {
        return write_notice(c, record, len);
    };
    bool started_ = false;
};

}  // namespace norvd

#endif  // NORVD_DAEMON_H
