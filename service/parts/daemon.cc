// daemon.cc: norvd's daemon: start, reload, the views and the stop.
#include "parts/daemon.h"

#include <sys/wait.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/options.h"
#include "config/settings.h"
#include "core/clock_watch.h"
#include "core/commands.h"
#include "io/log.h"
#include "io/notify.h"
#include "loop/event_loop.h"
#include "parts/peer_group.h"
#include "parts/verdict_delivery.h"
#include "setup/access_group.h"
#include "setup/signals.h"
#include "setup/stale_links.h"
#include "wire.h"

namespace norvd {
namespace {

using namespace norv::wire;
using norv::Fd;

// Rounds of requests read without waiting before verdicts are judged.
constexpr int kCatchUpRounds = 8;

}  // namespace

Daemon::Daemon(const Options &opts, const Options &cmdline, const ServiceConfig &config, ClockWatch &clock,
               const AccessGroup &access, std::optional<GroupKey> key)
    : opts_(opts), cmdline_(cmdline), access_(access), clock_(clock), service_(config, process_log()),
      startBase_(clock.base_now()), key_(key),
      delivery_(
          service_, config.groupMask, startBase_,
          [this](int c, const uint8_t *record, size_t len) { return write_notice(c, record, len); },
          [this](int c) { return channel_->live(c); }) {}

bool Daemon::start() {
    std::string why;
    loop_ = EventLoop::create([&clock = clock_] { return clock.base_now(); }, kCatchUpRounds, why);
    if (!loop_) return log_error(why), false;
    peerGroup_ = std::make_unique<PeerGroup>(
        opts_.id, std::move(key_), opts_.bind, clock_, startBase_, *loop_,
        [this](uint8_t from, const BaseReceipt &receipt, BaseTime reached) {
            service_.peer_receipt(from, receipt, reached);
        });
    key_.reset();
    channel_ = std::make_unique<ControlChannel>(
        *loop_, service_, access_,
        [this](const Forward &f) { peerGroup_->forward(f.machine, f.receipt); },
        [this](int n) { delivery_.connection_ended(n); });
    observers_ = std::make_unique<Observers>(opts_, access_, *loop_, *this);
    add_turn_work();
    // Forked while norvd is small, before any device exists.
    if (!channel_->start_devices(opts_.devicePath)) return false;

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

    if (!channel_->open()) return false;

    std::string group;
    for (const auto &[id, host] : opts_.peers) {
        group += ", machine " + std::to_string(id) + " at " + host;
        if (peerGroup_->resolving(id)) group += " (to be resolved)";
    }
    log_info("machine " + std::to_string(opts_.id) + group + "; serving " + channel_->link() +
             " (" + channel_->node() + ") to group " + access_.name);
    if (peerGroup_->authenticated())
        log_info("peer messages authenticated with the key of " + opts_.keyFile +
                 " (version 2), epoch " + std::to_string(peerGroup_->epoch()));
    else if (!opts_.peers.empty())
        log_warning("peer messages are not authenticated (version 1): whoever can send from a "
                    "peer's address speaks for that machine; give the group a key with --key-file");
    if (!observers_->start()) return false;
    started_ = true;
    // /dev/rtf1 serves: a client started from now on finds it.
    if (std::string why = notify_manager("READY=1"); !why.empty()) log_warning(why);
    return true;
}

std::string Daemon::reload() {
    BaseTime now = clock_.base_now();
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    std::string reloading = "RELOADING=1\nMONOTONIC_USEC=" +
        std::to_string(static_cast<uint64_t>(mono.tv_sec) * 1'000'000 + static_cast<uint64_t>(mono.tv_nsec) / 1000);
    if (std::string why = notify_manager(reloading); !why.empty()) log_warning(why);
    Options next;
    bool found = false;
    std::string why = load_settings(cmdline_, opts_.bind, next, found);
    if (!why.empty()) {
        why = "reload: " + why + "; the running settings are kept";
        log_error(why);
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
        if (next.accessGroup != opts_.accessGroup) restart += ", group";
        if (next.keyFile != opts_.keyFile) restart += ", key-file";
        if (next.controlSocket != opts_.controlSocket) restart += ", control-socket";
        if (next.metricsFile != opts_.metricsFile) restart += ", metrics-file";
        if (next.realtimePriority != opts_.realtimePriority) restart += ", realtime-priority";
        if (next.devicePath != opts_.devicePath) restart += ", device-path";
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
    return why;
}

int Daemon::run() { return loop_->run() ? 0 : 1; }

void Daemon::add_turn_work() {
    EventLoop &loop = *loop_;
    using Turn = EventLoop::Turn;
    // A step of the common clock is told, with the registrations it
    // touches, before anything read at this wake is served.
    loop.add_wake_hook([this] { clock_.check([this] { return service_.pending_ids(); }); });
    // The work after a turn, in this order: the names to resolve, the
    // probes of the peers, the control clients out of time, the metrics, the
    // peer counters, the tick,
    // the connections whose time has come; then the log's counts of lines
    // suppressed, the notices that wait for room, and the verdicts. Every
    // timer runs on the base clock, which never steps.
    peerGroup_->add_resolve_work();
    peerGroup_->add_probe_work();
    observers_->add_turn_work();
    peerGroup_->add_count_work();
    channel_->add_turn_work();
    // The count of lines suppressed is told when their second is over.
    loop.add_deadline([](BaseTime) { return process_log().next_flush(); });
    loop.add_after_turn([](const Turn &) { process_log().flush(); });
    delivery_.add_turn_work(loop);
}

bool Daemon::write_notice(int connection, const uint8_t *record, size_t len) {
    return channel_->write_notice(connection, record, len);
}

StatusView Daemon::status() {
    StatusView s;
    BaseTime now = clock_.base_now();
    const Registrations &r = service_.registrations();
    s.machine = opts_.id;
    s.group = r.group();
    s.uptimeNs = now > startBase_ ? now - startBase_ : 0;
    s.baseNs = now.ns;
    s.clockOffsetNs = opts_.clockOffset;
    s.clockDriftPpm = opts_.clockDrift;
    s.commonMinusBaseNs = clock_.difference();
    s.sync = clock_.sync_now();
    s.authenticated = peerGroup_->authenticated();
    s.connections = channel_->connected();
    s.pendingRegistrations = r.pending();
    s.registrations = r.made();
    s.refusedRegistrations = r.refused();
    s.noticesWaiting = delivery_.notices_waiting();
    s.noticesDropped = delivery_.notices_dropped();
    s.controlClients = observers_ ? observers_->control_clients() : 0;
    return s;
}

PeersView Daemon::peers() { return peerGroup_->view(); }

std::vector<MachineVerdicts> Daemon::verdicts() { return delivery_.verdicts(clock_.base_now()); }

std::vector<ConnectionView> Daemon::connections() {
    std::vector<ConnectionView> out = channel_->connections();
    for (ConnectionView &v : out) v.noticesWaiting = delivery_.notices_waiting(v.channel);
    return out;
}

uint64_t Daemon::requests_read() { return channel_->requests_read(); }

void Daemon::shutdown() {
    if (started_)
        if (std::string why = notify_manager("STOPPING=1"); !why.empty()) log_warning(why);
    if (observers_) observers_->stop();
    if (channel_) channel_->close();
    channel_.reset();
    if (started_) {
        peerGroup_->log_counters(true);
        log_info("stopped");
    }
}

}  // namespace norvd
