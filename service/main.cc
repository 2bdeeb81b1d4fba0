// main.cc: norvd, the substitute NORV timing service: its settings, the
// checks before it may run, and the parts it starts in order (daemon.h).
#include <sysexits.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "config/options.h"
#include "config/settings.h"
#include "core/clock_watch.h"
#include "core/commands.h"
#include "core/group_key.h"
#include "core/service_clock.h"
#include "io/log.h"
#include "parts/daemon.h"
#include "realtime.h"
#include "parts/fuse_device_maker.h"
#include "setup/access_group.h"
#include "setup/instance_lock.h"
#include "setup/stale_links.h"

namespace {

// The status of a start that a restart cannot mend: the command line, the
// configuration file, the key file or the group is wrong, or norvd lacks
// what its settings ask for (root, libfuse3, real-time priority). The unit
// names it (78) in RestartPreventExitStatus=, so that systemd does not start
// a norvd that will only refuse again.
constexpr int kExitBadSettings = EX_CONFIG;

}  // namespace

int main(int argc, char *argv[]) {
    using namespace norvd;
    Options opts;
    std::string err = parse_options(argc, argv, opts);
    if (err.empty() && opts.version) {
        std::string text = "norvd " NORV_VERSION "\n";
        (void)!write(STDOUT_FILENO, text.data(), text.size());
        return 0;
    }
    if (!err.empty()) {
        log_error(err);
        std::string text = usage();
        (void)!write(STDERR_FILENO, text.data(), text.size());
        return kExitBadSettings;
    }
    if (opts.help) {
        std::string text = usage();
        (void)!write(STDOUT_FILENO, text.data(), text.size());
        return 0;
    }
    const Options cmdline = opts;
    bool found = false;
    if (opts.genKey.empty()) err = load_settings(cmdline, std::nullopt, opts, found);
    if (!err.empty()) {
        log_error(err);
        return kExitBadSettings;
    }
    process_log().set_level(opts.logLevel);
    if (!opts.genKey.empty()) {
        std::string why;
        if (!write_new_key_file(opts.genKey, why)) {
            log_error(why);
            return 1;
        }
        log_info("wrote a new group key to " + opts.genKey);
        return 0;
    }
    if (opts.devicePath == DevicePath::kFuse && !fuse_available()) {
        log_error("device-path fuse: this norvd was built without libfuse3 (install libfuse3-dev and "
                  "build again), or use device-path pty");
        return kExitBadSettings;
    }
    if (geteuid() != 0) {
        log_error("needs root: it creates the devices /dev/rtf*");
        return kExitBadSettings;
    }
    std::optional<GroupKey> key;
    if (!opts.keyFile.empty()) {
        std::string why;
        key = read_key_file(opts.keyFile, why);
        if (!key) {
            log_error(why);
            return kExitBadSettings;
        }
    }

    // The parts, each once the one before it stands: the access group, the
    // lock that keeps any other norvd away, the clocks, a /dev without stale
    // links, and the daemon with its loop. They end in the reverse order.
    AccessGroup access;
    if (!find_access_group(opts.accessGroup, access)) return kExitBadSettings;
    InstanceLock lock(kInstanceLockPath, kDevicePrefix + std::to_string(kConnectDevice));
    if (std::string why = lock.acquire(); !why.empty()) {
        log_error(why);
        return 1;
    }

    SystemClocks clocks;
    ClockWatch watch(clocks, process_log(), !opts.peers.empty());
    ServiceConfig config;
    config.localId = opts.id;
    config.groupMask = group_mask(opts);
    config.clock = ServiceClock(opts.clockOffset, opts.clockDrift, watch.base_now());

    // The first line says how to turn this machine's service stamps into
    // base time, for whoever checks them.
    log_info("clock: " + config.clock.describe(kBaseClockName));
    // How this machine's common time is shifted from the system's (by
    // nothing, but for tests), for whoever checks the peers' clock offsets.
    watch.shift_common(ServiceClock(opts.commonClockOffset, opts.commonClockDrift, watch.base_now()));
    log_info("common clock: " + watch.common_shift().describe(kBaseClockName));
    log_info("common clock: " + watch.describe_difference());
    watch.report_sync();
    if (!remove_stale_links(kDevicePrefix)) return 1;
    // Before any thread or helper process starts: they run at ordinary
    // priority (SCHED_RESET_ON_FORK), the loop alone at real-time priority.
    if (opts.realtimePriority != 0) {
        if (std::string why = norv::go_realtime(opts.realtimePriority); !why.empty()) {
            log_error(why);
            return kExitBadSettings;
        }
        log_info("the loop runs at SCHED_FIFO priority " + std::to_string(opts.realtimePriority) +
                 ", its memory locked; worker threads and the guard keeper at ordinary priority");
    }

    Daemon daemon(opts, cmdline, config, watch, access, key);
    int status = daemon.start() ? daemon.run() : 1;
    daemon.shutdown();
    return status;
}
