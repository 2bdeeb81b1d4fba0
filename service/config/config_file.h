// config_file.h: reading norvd's configuration file, and whether to obey it.
//
// norvd runs as root and its file names who may connect, which key signs the
// peer messages and where norvd writes: root obeys only a file that nobody
// but root can have written. The file and the directory that holds it must
// belong to root and let no one else write them (no write bit but the
// owner's), as OpenSSH's StrictModes asks of its files.
#ifndef NORVD_CONFIG_FILE_H
#define NORVD_CONFIG_FILE_H

#include <string>

#include "config/options.h"

namespace norvd {

// Why a file of `mode` (st_mode) that belongs to `uid` must not be obeyed,
// or "": it belongs to another user than root, or its mode lets others than
// its owner write it. `path` names it in the message, with the command that fixes it; for a
// directory, `holds` names the configuration file in it ("" for the file
// itself).
std::string config_permission_problem(const std::string &path, unsigned mode, unsigned uid,
                                      const std::string &holds = "");

// The directory of `path` as it is written ("." for a bare name), and the
// name in it.
std::string config_directory(const std::string &path);
std::string config_name(const std::string &path);

// Reads and parses the configuration file at `path` into `file`. A missing
// file is no error unless `required` (it was named with -f): `file` is then
// empty and `found` false. With `strict` (norvd runs as root) the file and
// its directory must pass config_permission_problem. Returns "" or the error.
std::string read_config(const std::string &path, bool required, bool strict, ConfigFile &file,
                        bool &found);

}  // namespace norvd

#endif  // NORVD_CONFIG_FILE_H
