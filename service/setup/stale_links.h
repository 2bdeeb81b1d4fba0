// stale_links.h: the device links left by a norvd that was killed.
//
// A norvd removes its links /dev/rtfN as it stops; one that was killed
// leaves them behind, pointing at ptys that are gone or, worse, at ptys that
// others hold now. The next norvd, holding the instance lock
// (instance_lock.h), removes them before it makes its own devices.
#ifndef NORVD_STALE_LINKS_H
#define NORVD_STALE_LINKS_H

#include <string>

namespace norvd {

// Removes the symbolic links "<prefix>N" (N: one or more digits; prefix
// "/dev/rtf"), each told in the log. Something else at such a name is left
// where it is, and said to be in the way: another timing service may own
// it. Returns false (logged) when anything could not be removed or read.
bool remove_stale_links(const std::string &prefix);

}  // namespace norvd

#endif  // NORVD_STALE_LINKS_H
