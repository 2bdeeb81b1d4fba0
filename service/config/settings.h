// settings.h: the settings norvd runs with, as it starts and at each reload.
//
// The command line's settings win; the configuration file gives the others
// (config_file.h, options.h); the addresses that result are checked
// (address_check.h). Start and reload go through the same steps, so that a
// file that a start refuses is refused by a reload as well.
#ifndef NORVD_SETTINGS_H
#define NORVD_SETTINGS_H

#include <optional>
#include <string>

#include "config/options.h"

namespace norvd {

// Reads the configuration file that `cmdline` names (strictly when norvd
// runs as root: see read_config), and gives `out` the settings of `cmdline`
// with those of the file that the command line did not give. The peers
// written as addresses are checked against `boundTo`, the address of the
// running peer socket, or at start (nothing) against the settings' own bind
// address. Returns "" or the error, with the file's path when the setting
// came from it; `found` tells whether there was a file.
std::string load_settings(const Options &cmdline, const std::optional<std::string> &boundTo, Options &out,
                          bool &found);

}  // namespace norvd

#endif  // NORVD_SETTINGS_H
