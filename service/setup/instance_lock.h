// instance_lock.h: the lock that makes norvd the only one on this machine.
//
// Two norvds would both serve /dev/rtf1 and fight over its links. A norvd
// therefore holds an exclusive flock() on a lock file for as long as it runs,
// with its pid written in the file for the one it turns away. The kernel
// drops the lock when its holder dies, however it dies: a file left by a
// killed norvd stops no one. The file is removed when the holder lets go.
#ifndef NORVD_INSTANCE_LOCK_H
#define NORVD_INSTANCE_LOCK_H

#include <string>

#include "fd.h"

namespace norvd {

// On /dev, as the devices: a norvd in a namespace with a /dev of its own
// serves devices of its own.
constexpr const char *kInstanceLockPath = "/dev/.norvd.lock";

class InstanceLock {
public:
    // `path`: the lock file; `served`: what its holder serves, for the
    // message that turns another away.
    InstanceLock(std::string path, std::string served);
    // Removes the file, when the lock is held.
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // Takes the lock and writes this process's pid in the file. Returns "",
    // or why the lock was not taken: "another norvd (pid P) is already
    // serving SERVED on this machine; stop it first" when another holds it,
    // or the call that failed.
    std::string acquire();

private:
    std::string path_, served_;
    norv::Fd fd_;
    bool held_ = false;
};

}  // namespace norvd

#endif  // NORVD_INSTANCE_LOCK_H
