// access_group.h: the access group, the Unix group whose members may use
// norvd.
//
// Its members may open /dev/rtf1 and their connections' devices (when the
// look for a client's user finds none) and talk to the control socket;
// root always may.
#ifndef NORVD_ACCESS_GROUP_H
#define NORVD_ACCESS_GROUP_H

#include <sys/types.h>

#include <string>

namespace norvd {

struct AccessGroup {
    gid_t gid = 0;
    std::string name;
};

// The access group named (--group), or norv when it exists, or root's.
// Returns false (logged) for a name that no Unix group has; a failure to look
// up norv is logged, and root's taken.
bool find_access_group(const std::string &named, AccessGroup &access);

}  // namespace norvd

#endif  // NORVD_ACCESS_GROUP_H
