// access_group.cc: looking up norvd's access group.
#include "setup/access_group.h"

#include <grp.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "io/log.h"

namespace norvd {

bool find_access_group(const std::string &named, AccessGroup &access) {
    std::string name = named.empty() ? "norv" : named;
    std::vector<char> buf(16384);
    struct group entry {};
    struct group *found = nullptr;
    int rc;
    // An entry with many members needs a larger buffer.
    while ((rc = getgrnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found)) == ERANGE &&
           buf.size() < (1u << 24))
        buf.resize(buf.size() * 2);
    if (found != nullptr) {
        access.gid = found->gr_gid;
        access.name = name;
        return true;
    }
    std::string why = rc != 0 ? std::string(": ") + std::strerror(rc) : "";
    if (!named.empty()) {
        log_error("--group " + named + ": no such group" + why);
        return false;
    }
    if (rc != 0) log_error("group norv cannot be looked up" + why + "; only root may connect");
    access.gid = 0;
    access.name = "root";
    return true;
}

}  // namespace norvd
