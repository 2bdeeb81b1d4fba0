// options.h: norvd's command line.
#ifndef NORVD_OPTIONS_H
#define NORVD_OPTIONS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "log.h"

namespace norvd {

struct Options {
    uint8_t id = 0;                                     // --id N, 0 to 4
    std::vector<std::pair<uint8_t, std::string>> peers;  // --peer ID=HOST
    std::string bind;                                   // --bind ADDR (peer socket; "" = any)
    int64_t clockOffset = 0;                            // --clock-offset NS
    double clockDrift = 0.0;                            // --clock-drift PPM
    std::string group;                                  // --group NAME ("" = norv or root only)
    std::string keyFile;                                // --key-file PATH ("" = no key)
    std::string genKey;                                 // --gen-key PATH: write a key, exit
    Severity logLevel = Severity::kInfo;                // --log-level NAME, --quiet
    bool help = false;                                  // --help
};

// Parses argv into opts. Returns "" or the text of the first error.
std::string parse_options(int argc, char *const argv[], Options &opts);

// The usage text.
std::string usage();

// The group of the local machine and its peers: bit i set for machine i.
uint8_t group_mask(const Options &opts);

}  // namespace norvd

#endif  // NORVD_OPTIONS_H
