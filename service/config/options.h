// options.h: norvd's settings, from its command line and its configuration file.
#ifndef NORVD_OPTIONS_H
#define NORVD_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/log.h"

namespace norvd {

constexpr const char *kDefaultConfig = "/etc/norv/norvd.conf";
constexpr const char *kDefaultControlSocketPath = "/run/norvd.sock";

using Peers = std::vector<std::pair<uint8_t, std::string>>;

// What carries the devices /dev/rtfN: pseudo-terminals, or files of a FUSE
// file system that norvd serves itself.
enum class DevicePath { kPty, kFuse };

struct Options {
    uint8_t id = 0;                                     // --id N, 0 to 4
    Peers peers;                                        // --peer ID=HOST
    std::string bind;                                   // --bind ADDR (peer socket; "" = any)
    int64_t clockOffset = 0;                            // --clock-offset NS
    double clockDrift = 0.0;                            // --clock-drift PPM
    int64_t commonClockOffset = 0;                      // --common-clock-offset NS (tests)
    double commonClockDrift = 0.0;                      // --common-clock-drift PPM (tests)
    std::string accessGroup;                            // --group NAME ("" = norv or root only)
    std::string keyFile;                                // --key-file PATH ("" = no key)
    std::string genKey;                                 // --gen-key PATH: write a key, exit
    std::string controlSocket = kDefaultControlSocketPath;  // --control-socket PATH
    std::string metricsFile;                            // --metrics-file PATH ("" = none)
    int metricsIntervalS = 10;                          // --metrics-interval S (tests)
    int realtimePriority = 0;                           // --realtime-priority N (0 = ordinary)
    Severity logLevel = Severity::kInfo;                // --log-level NAME, --quiet
    DevicePath devicePath = DevicePath::kPty;          // --device-path pty|fuse
    std::string config = kDefaultConfig;                // -f, --config PATH
    bool configGiven = false;                           // -f was given: the file must exist
    bool help = false;                                  // --help
    bool version = false;                               // --version

    // The settings that the command line gave: the configuration file does
    // not override them.
    struct Given {
        bool id = false, peers = false, bind = false, accessGroup = false, keyFile = false,
             logLevel = false, controlSocket = false, metricsFile = false, realtimePriority = false,
             devicePath = false;
    } given;
};

// The settings of a configuration file; what it leaves out is unset.
struct ConfigFile {
    std::optional<uint8_t> id;
    Peers peers;
    std::optional<std::string> bind, accessGroup, keyFile, controlSocket, metricsFile;
    std::optional<Severity> logLevel;
    std::optional<int> realtimePriority;
    std::optional<DevicePath> devicePath;
};

// Parses argv into opts. Returns "" or the text of the first error.
std::string parse_options(int argc, char *const argv[], Options &opts);

// Parses the text of the configuration file at `path` (named in errors):
// one setting a line, "KEY VALUE..." in words separated by blanks; blank
// lines and lines whose first word starts with '#' say nothing. Returns ""
// or "PATH:LINE: what is wrong" for the first bad line.
std::string parse_config(std::string_view text, const std::string &path, ConfigFile &out);

// Takes the file's settings that the command line did not give, and checks
// the group that results. Returns "" or the error.
std::string merge_config(const ConfigFile &file, Options &opts);

// "" when each machine of the group is named once (by the id and the peers).
std::string check_machines(uint8_t id, const Peers &peers);

// "pty" or "fuse", and back.
std::optional<DevicePath> parse_device_path(const std::string &text);
const char *device_path_name(DevicePath path);

// The usage text.
std::string usage();

// The group of the local machine and its peers: bit i set for machine i.
uint8_t group_mask(const Options &opts);
uint8_t group_mask(uint8_t id, const Peers &peers);

}  // namespace norvd

#endif  // NORVD_OPTIONS_H
