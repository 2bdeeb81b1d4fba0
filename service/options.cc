// options.cc: parsing of norvd's command line.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "norv.h"

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

}  // namespace

std::string usage() {
    return "usage: norvd [--id N] [--peer ID=HOST]... [--bind ADDR] [--key-file PATH]\n"
           "             [--clock-offset NS] [--clock-drift PPM] [--group NAME]\n"
           "             [--log-level LEVEL] [--quiet]\n"
           "       norvd --gen-key PATH\n"
           "  --id N            machine id of this machine, 0 to 4 (default 0)\n"
           "  --peer ID=HOST    the norvd of machine ID runs on HOST (UDP port 16007)\n"
           "  --bind ADDR       local address of the peer socket (default any)\n"
           "  --key-file PATH   the group's key (mode 0600 or 0400): peer messages are\n"
           "                    authenticated (version 2); without it they are not\n"
           "  --clock-offset NS add NS nanoseconds to the clock that clients see\n"
           "  --clock-drift PPM let the clock that clients see drift by PPM parts per million\n"
           "  --group NAME      members of group NAME may connect (default: group norv\n"
           "                    if it exists, otherwise root only)\n"
           "  --log-level LEVEL the least severe log lines shown on standard error: error,\n"
           "                    warning, info or debug (default info)\n"
           "  --quiet           the same as --log-level warning\n"
           "  --gen-key PATH    write a fresh group key to the new file PATH and exit\n";
}

std::string parse_options(int argc, char *const argv[], Options &opts) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--quiet") {
            opts.logLevel = Severity::kWarning;
        } else if (arg == "--log-level") {
            std::optional<Severity> level;
            if (!value(v) || !(level = parse_severity(v)))
                return "--log-level needs error, warning, info or debug";
            opts.logLevel = *level;
        } else if (arg == "--help" || arg == "-h") {
            opts.help = true;
        } else if (arg == "--id") {
            long long id;
            if (!value(v) || !parse_int(v, 0, MAX_MACHINES - 1, id))
                return "--id needs a machine id from 0 to 4";
            opts.id = static_cast<uint8_t>(id);
        } else if (arg == "--peer") {
            long long id;
            size_t eq;
            if (!value(v) || (eq = v.find('=')) == std::string::npos ||
                !parse_int(v.substr(0, eq), 0, MAX_MACHINES - 1, id) || eq + 1 == v.size())
                return "--peer needs ID=HOST with a machine id from 0 to 4";
            opts.peers.emplace_back(static_cast<uint8_t>(id), v.substr(eq + 1));
        } else if (arg == "--bind") {
            if (!value(opts.bind) || opts.bind.empty()) return "--bind needs an address";
        } else if (arg == "--group") {
            if (!value(opts.group) || opts.group.empty()) return "--group needs a group name";
        } else if (arg == "--key-file") {
            if (!value(opts.keyFile) || opts.keyFile.empty()) return "--key-file needs a path";
        } else if (arg == "--gen-key") {
            if (!value(opts.genKey) || opts.genKey.empty()) return "--gen-key needs a path";
        } else if (arg == "--clock-offset") {
            long long ns;
            if (!value(v) || !parse_int(v, INT64_MIN, INT64_MAX, ns))
                return "--clock-offset needs a number of nanoseconds";
            opts.clockOffset = ns;
        } else if (arg == "--clock-drift") {
            char *end = nullptr;
            if (!value(v) || v.empty()) return "--clock-drift needs parts per million";
            double ppm = std::strtod(v.c_str(), &end);
            if (*end != '\0' || !std::isfinite(ppm) || ppm <= -1e6 || ppm > 1e6)
                return "--clock-drift needs parts per million";
            opts.clockDrift = ppm;
        } else {
            return "unknown argument '" + arg + "'";
        }
    }
    uint8_t seen = static_cast<uint8_t>(1u << opts.id);
    for (const auto &[id, host] : opts.peers) {
        if (seen & (1u << id))
            return "machine " + std::to_string(id) + " is named twice (by --id or --peer)";
        seen |= static_cast<uint8_t>(1u << id);
    }
    return "";
}

uint8_t group_mask(const Options &opts) {
    uint8_t mask = static_cast<uint8_t>(1u << opts.id);
    for (const auto &peer : opts.peers) mask |= static_cast<uint8_t>(1u << peer.first);
    return mask;
}

}  // namespace norvd
