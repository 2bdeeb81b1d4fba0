// options.cc: parsing of norvd's command line and configuration file.
#include "config/options.h"

#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "core/peer_wire.h"
#include "norv.h"
#include "realtime.h"

namespace norvd {

namespace {

bool parse_int(const std::string &text, long long lo, long long hi, long long &out) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parse_id(const std::string &text, uint8_t &id) {
    long long v;
    if (!parse_int(text, 0, MAX_MACHINES - 1, v)) return false;
    id = static_cast<uint8_t>(v);
    return true;
}

// The peer socket is IPv4: a host written as an IPv6 address is refused
// rather than resolved to nothing, again and again.
std::string check_host(const std::string &host) {
    if (host.find(':') != std::string::npos) return "peer " + host + ": IPv6 is not supported";
    return "";
}

// Values of the options that have no short form.
enum : int {
    kId = 256, kPeer, kBind, kKeyFile, kGenKey, kClockOffset, kClockDrift, kAccessGroup, kLogLevel,
    kQuiet, kVersion, kControlSocket, kMetricsFile, kMetricsInterval, kRealtimePriority, kDevicePath,
    kCommonClockOffset, kCommonClockDrift,
};

const option kLongOptions[] = {
    {"id", required_argument, nullptr, kId},
    {"peer", required_argument, nullptr, kPeer},
    {"bind", required_argument, nullptr, kBind},
    {"key-file", required_argument, nullptr, kKeyFile},
    {"gen-key", required_argument, nullptr, kGenKey},
    {"clock-offset", required_argument, nullptr, kClockOffset},
    {"clock-drift", required_argument, nullptr, kClockDrift},
    {"common-clock-offset", required_argument, nullptr, kCommonClockOffset},
    {"common-clock-drift", required_argument, nullptr, kCommonClockDrift},
    {"group", required_argument, nullptr, kAccessGroup},
    {"log-level", required_argument, nullptr, kLogLevel},
    {"quiet", no_argument, nullptr, kQuiet},
    {"control-socket", required_argument, nullptr, kControlSocket},
    {"metrics-file", required_argument, nullptr, kMetricsFile},
    {"metrics-interval", required_argument, nullptr, kMetricsInterval},
    {"realtime-priority", required_argument, nullptr, kRealtimePriority},
    {"device-path", required_argument, nullptr, kDevicePath},
    {"config", required_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// What an option's value must be, for the error when it is wrong or missing.
std::string needs(int option) {
    switch (option) {
    case kId: return "--id needs a machine id from 0 to 4";
    case kPeer: return "--peer needs ID=HOST with a machine id from 0 to 4";
    case kBind: return "--bind needs an address";
    case kKeyFile: return "--key-file needs a path";
    case kGenKey: return "--gen-key needs a path";
    case kClockOffset: return "--clock-offset needs a number of nanoseconds";
    case kClockDrift: return "--clock-drift needs parts per million";
    case kCommonClockOffset: return "--common-clock-offset needs a number of nanoseconds";
    case kCommonClockDrift: return "--common-clock-drift needs parts per million";
    case kAccessGroup: return "--group needs a group name";
    case kLogLevel: return "--log-level needs error, warning, info or debug";
    case kControlSocket: return "--control-socket needs a path";
    case kMetricsFile: return "--metrics-file needs a path";
    case kMetricsInterval: return "--metrics-interval needs a number of seconds from 1 to 10";
    case kRealtimePriority: return "--realtime-priority needs a priority from 1 to 99";
    case kDevicePath: return "--device-path needs pty or fuse";
    case 'f': return "-f (--config) needs a path";
    }
    return "an option needs a value";
}

}  // namespace

std::string usage() {
    const std::string port = std::to_string(peer::kPort);
    return "usage: norvd [-f PATH] [--id N] [--peer ID=HOST]... [--bind ADDR] [--key-file PATH]\n"
           "             [--clock-offset NS] [--clock-drift PPM] [--group NAME]\n"
           "             [--common-clock-offset NS] [--common-clock-drift PPM]\n"
           "             [--control-socket PATH] [--metrics-file PATH] [--metrics-interval S]\n"
           "             [--realtime-priority N] [--device-path pty|fuse]\n"
           "             [--log-level LEVEL] [--quiet]\n"
           "       norvd --gen-key PATH\n"
           "       norvd --version | --help\n"
           "  -f, --config PATH the configuration file (default /etc/norv/norvd.conf, which\n"
           "                    may be missing); the command line overrides it\n"
           "  --id N            machine id of this machine, 0 to 4 (default 0)\n"
           "  --peer ID=HOST    the norvd of machine ID runs on HOST (UDP port " + port + ");\n"
           "                    any --peer replaces all the peers of the file\n"
           "  --bind ADDR       local address of the peer socket (default any)\n"
           "  --key-file PATH   the group's key (mode 0600 or 0400): peer messages are\n"
           "                    authenticated (version 2); without it they are not\n"
           "  --clock-offset NS add NS nanoseconds to the clock that clients see\n"
           "  --clock-drift PPM let the clock that clients see drift by PPM parts per million\n"
           "  --common-clock-offset NS, --common-clock-drift PPM  the same for the common\n"
           "                    clock that norvd reads and tells its peers (for tests)\n"
           "  --group NAME      members of group NAME may connect (default: group norv\n"
           "                    if it exists, otherwise root only)\n"
           "  --control-socket PATH  where norvctl finds norvd (default /run/norvd.sock;\n"
           "                    root's, mode 0660, of the group of --group)\n"
           "  --metrics-file PATH  rewrite PATH every 10 s with the metrics in the\n"
           "                    Prometheus text format (default none)\n"
           "  --metrics-interval S  rewrite it every S seconds instead, 1 to 10 (for tests)\n"
           "  --realtime-priority N  run the loop at SCHED_FIFO priority N, 1 to 99, with\n"
           "                    memory locked (default: ordinary priority)\n"
           "  --device-path pty|fuse  what carries the devices /dev/rtfN: pseudo-terminals\n"
           "                    (default), or files of a FUSE file system that norvd serves\n"
           "                    itself on /run/norvd/devices (needs /dev/fuse)\n"
           "  --log-level LEVEL the least severe log lines shown on standard error: error,\n"
           "                    warning, info or debug (default info)\n"
           "  --quiet           the same as --log-level warning\n"
           "  --gen-key PATH    write a fresh group key to the new file PATH and exit\n"
           "  --version         print the version and exit\n"
           "  -h, --help        print this text and exit\n";
}

std::string parse_options(int argc, char *const argv[], Options &opts) {
    // getopt_long keeps its place in globals: start over for each parse.
    optind = 0;
    opterr = 0;
    // '+': stop at the first word that is no option (it is an error here);
    // ':': a missing value is told apart from an unknown option.
    for (;;) {
        int c = getopt_long(argc, argv, "+:f:h", kLongOptions, nullptr);
        if (c == -1) break;
        std::string v = optarg != nullptr ? optarg : "";
        switch (c) {
        case ':':
            return needs(optopt);
        case '?':
            return "unknown argument '" + std::string(argv[optind - 1]) + "'";
        case kQuiet:
            opts.logLevel = Severity::kWarning;
            opts.given.logLevel = true;
            break;
        case kLogLevel: {
            std::optional<Severity> level = parse_severity(v);
            if (!level) return needs(c);
            opts.logLevel = *level;
            opts.given.logLevel = true;
            break;
        }
        case 'h':
            opts.help = true;
            break;
        case kVersion:
            opts.version = true;
            break;
        case 'f':
            if (v.empty()) return needs(c);
            opts.config = v;
            opts.configGiven = true;
            break;
        case kId:
            if (!parse_id(v, opts.id)) return needs(c);
            opts.given.id = true;
            break;
        case kPeer: {
            size_t eq = v.find('=');
            uint8_t id;
            if (eq == std::string::npos || !parse_id(v.substr(0, eq), id) || eq + 1 == v.size())
                return needs(c);
            std::string host = v.substr(eq + 1);
            if (std::string why = check_host(host); !why.empty()) return why;
            // The command line's peers replace the file's as a whole.
            opts.peers.emplace_back(id, host);
            opts.given.peers = true;
            break;
        }
        case kRealtimePriority:
            if (!norv::parse_realtime_priority(v, opts.realtimePriority)) return needs(c);
            opts.given.realtimePriority = true;
            break;
        case kBind:
            if (v.empty()) return needs(c);
            opts.bind = v;
            opts.given.bind = true;
            break;
        case kAccessGroup:
            if (v.empty()) return needs(c);
            opts.accessGroup = v;
            opts.given.accessGroup = true;
            break;
        case kKeyFile:
            if (v.empty()) return needs(c);
            opts.keyFile = v;
            opts.given.keyFile = true;
            break;
        case kGenKey:
            if (v.empty()) return needs(c);
            opts.genKey = v;
            break;
        case kControlSocket:
            if (v.empty()) return needs(c);
            opts.controlSocket = v;
            opts.given.controlSocket = true;
            break;
        case kMetricsFile:
            if (v.empty()) return needs(c);
            opts.metricsFile = v;
            opts.given.metricsFile = true;
            break;
        case kDevicePath: {
            std::optional<DevicePath> path = parse_device_path(v);
            if (!path) return needs(c);
            opts.devicePath = *path;
            opts.given.devicePath = true;
            break;
        }
        case kMetricsInterval: {
            long long s;
            if (!parse_int(v, 1, 10, s)) return needs(c);
            opts.metricsIntervalS = static_cast<int>(s);
            break;
        }
        case kClockOffset:
        case kCommonClockOffset: {
            long long ns;
            if (!parse_int(v, INT64_MIN, INT64_MAX, ns)) return needs(c);
            (c == kClockOffset ? opts.clockOffset : opts.commonClockOffset) = ns;
            break;
        }
        case kClockDrift:
        case kCommonClockDrift: {
            char *end = nullptr;
            if (v.empty()) return needs(c);
            double ppm = std::strtod(v.c_str(), &end);
            if (*end != '\0' || !std::isfinite(ppm) || ppm <= -1e6 || ppm > 1e6) return needs(c);
            (c == kClockDrift ? opts.clockDrift : opts.commonClockDrift) = ppm;
            break;
        }
        default:
            return "unknown argument '" + std::string(argv[optind - 1]) + "'";
        }
    }
    if (optind < argc) return "unknown argument '" + std::string(argv[optind]) + "'";
    return "";
}

std::string check_machines(uint8_t id, const Peers &peers) {
    uint8_t seen = static_cast<uint8_t>(1u << id);
    for (const auto &peer : peers) {
        if (seen & (1u << peer.first))
            return "machine " + std::to_string(peer.first) + " is named twice (by --id or --peer)";
        seen |= static_cast<uint8_t>(1u << peer.first);
    }
    return "";
}

std::string parse_config(std::string_view text, const std::string &path, ConfigFile &out) {
    ConfigFile file;
    int number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        // A NUL would end the value where the C library reads it ("id 1\0junk"
        // would run as id 1): the file is not the text it seems.
        if (line.find('\0') != std::string_view::npos)
            return path + ":" + std::to_string(number) + ": a NUL byte: a configuration file is text";
        std::vector<std::string> words;
        for (size_t i = 0; i < line.size();) {
            if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
                ++i;
                continue;
            }
            size_t j = line.find_first_of(" \t\r", i);
            if (j == std::string_view::npos) j = line.size();
            words.emplace_back(line.substr(i, j - i));
            i = j;
        }
        if (words.empty() || words[0][0] == '#') continue;
        std::string where = path + ":" + std::to_string(number) + ": ";
        const std::string &key = words[0];
        size_t want = key == "peer" ? 3 : 2;
        if (key != "id" && key != "peer" && key != "bind" && key != "group" && key != "key-file" &&
            key != "log-level" && key != "control-socket" && key != "metrics-file" &&
            key != "realtime-priority" && key != "device-path")
            return where + "unknown setting '" + escape(key) + "'";
        if (words.size() != want)
            return where + key + " needs " + (want == 3 ? "two values (ID HOST)" : "one value") +
                   ", not " + std::to_string(words.size() - 1);
        const std::string &value = words[1];
        auto once = [&](bool set) { return set ? where + key + " is set twice" : std::string(); };
        if (key == "id") {
            if (std::string why = once(file.id.has_value()); !why.empty()) return why;
            uint8_t id;
            if (!parse_id(value, id)) return where + "id needs a machine id from 0 to 4";
            file.id = id;
        } else if (key == "peer") {
            uint8_t id;
            if (!parse_id(value, id)) return where + "peer needs a machine id from 0 to 4";
            if (std::string why = check_host(words[2]); !why.empty()) return where + escape(why);
            file.peers.emplace_back(id, words[2]);
        } else if (key == "realtime-priority") {
            if (std::string why = once(file.realtimePriority.has_value()); !why.empty()) return why;
            int priority;
            if (!norv::parse_realtime_priority(value, priority))
                return where + "realtime-priority needs a priority from 1 to 99";
            file.realtimePriority = priority;
        } else if (key == "log-level") {
            if (std::string why = once(file.logLevel.has_value()); !why.empty()) return why;
            file.logLevel = parse_severity(value);
            if (!file.logLevel) return where + "log-level needs error, warning, info or debug";
        } else if (key == "device-path") {
            if (std::string why = once(file.devicePath.has_value()); !why.empty()) return why;
            file.devicePath = parse_device_path(value);
            if (!file.devicePath) return where + "device-path needs pty or fuse";
        } else {
            std::optional<std::string> &slot = key == "bind"             ? file.bind
                                               : key == "group"          ? file.accessGroup
                                               : key == "control-socket" ? file.controlSocket
                                               : key == "metrics-file"   ? file.metricsFile
                                                                         : file.keyFile;
            if (std::string why = once(slot.has_value()); !why.empty()) return why;
            slot = value;
        }
        // Checked at each line, so the line that names a machine a second
        // time is the one told. Without an id line the file's peers are only
        // checked among themselves: the id may come from the command line.
        if (key == "id" || key == "peer") {
            unsigned seen = file.id ? 1u << *file.id : 0u;
            for (const auto &peer : file.peers) {
                if (seen & (1u << peer.first))
                    return where + "machine " + std::to_string(peer.first) + " is named twice in this file";
                seen |= 1u << peer.first;
            }
        }
    }
    out = std::move(file);
    return "";
}

std::string merge_config(const ConfigFile &file, Options &opts) {
    // Whether the file named machines of the group, for the error.
    bool named = (!opts.given.id && file.id) || (!opts.given.peers && !file.peers.empty());
    if (!opts.given.id && file.id) opts.id = *file.id;
    if (!opts.given.peers) opts.peers = file.peers;
    if (!opts.given.bind && file.bind) opts.bind = *file.bind;
    if (!opts.given.accessGroup && file.accessGroup) opts.accessGroup = *file.accessGroup;
    if (!opts.given.keyFile && file.keyFile) opts.keyFile = *file.keyFile;
    if (!opts.given.logLevel && file.logLevel) opts.logLevel = *file.logLevel;
    if (!opts.given.controlSocket && file.controlSocket) opts.controlSocket = *file.controlSocket;
    if (!opts.given.metricsFile && file.metricsFile) opts.metricsFile = *file.metricsFile;
    if (!opts.given.realtimePriority && file.realtimePriority) opts.realtimePriority = *file.realtimePriority;
    if (!opts.given.devicePath && file.devicePath) opts.devicePath = *file.devicePath;
    std::string why = check_machines(opts.id, opts.peers);
    if (!why.empty() && named)
        why = why.substr(0, why.find(" (")) + " (by the command line and " + opts.config + ")";
    return why;
}

uint8_t group_mask(uint8_t id, const Peers &peers) {
    uint8_t mask = static_cast<uint8_t>(1u << id);
    for (const auto &peer : peers) mask |= static_cast<uint8_t>(1u << peer.first);
    return mask;
}

std::optional<DevicePath> parse_device_path(const std::string &text) {
    if (text == "pty") return DevicePath::kPty;
    if (text == "fuse") return DevicePath::kFuse;
    return std::nullopt;
}

const char *device_path_name(DevicePath path) { return path == DevicePath::kFuse ? "fuse" : "pty"; }

uint8_t group_mask(const Options &opts) { return group_mask(opts.id, opts.peers); }

}  // namespace norvd
