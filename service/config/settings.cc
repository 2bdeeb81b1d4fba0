// settings.cc: the command line, the configuration file and the checks.
#include "config/settings.h"

#include <unistd.h>

#include "config/address_check.h"
#include "config/config_file.h"

namespace norvd {
namespace {

// Refuses a bind address or a peer's address that norvd cannot use (those
// written as addresses; names are checked when they resolve): the peers are
// checked against `bind`, the address of the running peer socket. Returns ""
// or the error, with the file's path when the setting came from it.
std::string check_addresses(const Options &opts, const std::string &bind) {
    Machine machine;
    if (std::string why = local_machine(machine); !why.empty()) return why;
    const std::string file = opts.config + ": ";
    if (std::string why = check_bind(opts.bind, machine); !why.empty())
        return (opts.given.bind ? "" : file) + why;
    if (std::string why = check_peers(opts.peers, bind, machine); !why.empty())
        return (opts.given.peers ? "" : file) + why;
    return "";
}

}  // namespace

std::string load_settings(const Options &cmdline, const std::optional<std::string> &boundTo, Options &out,
                          bool &found) {
    ConfigFile file;
    found = false;
    out = cmdline;
    std::string why = read_config(cmdline.config, cmdline.configGiven, geteuid() == 0, file, found);
    if (why.empty()) why = merge_config(file, out);
    if (why.empty()) why = check_addresses(out, boundTo ? *boundTo : out.bind);
    return why;
}

}  // namespace norvd
