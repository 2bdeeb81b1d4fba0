// instance_lock.cc: the lock file of norvd.
#include "setup/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "io/log.h"

namespace norvd {

InstanceLock::InstanceLock(std::string path, std::string served) : path_(std::move(path)), served_(std::move(served)) {}

InstanceLock::~InstanceLock() {
    if (held_) unlink(path_.c_str());
}

std::string InstanceLock::acquire() {
    for (;;) {
        fd_.reset(open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (!fd_.valid()) return failed(("open " + path_).c_str());
        if (flock(fd_.get(), LOCK_EX | LOCK_NB) < 0) {
            if (errno != EWOULDBLOCK) return failed("flock");
            char pid[32] = {};
            (void)!pread(fd_.get(), pid, sizeof pid - 1, 0);
            std::string holder = pid[0] ? " (pid " + std::string(pid, strcspn(pid, "\n")) + ")" : "";
            fd_.reset();
            return "another norvd" + holder + " is already serving " + served_ + " on this machine; stop it first";
        }
        // The previous holder may have removed the file between our open
        // and our lock: then the lock is on a file nobody else will see.
        struct stat held {}, current {};
        if (fstat(fd_.get(), &held) == 0 && stat(path_.c_str(), &current) == 0 && held.st_ino == current.st_ino &&
            held.st_dev == current.st_dev)
            break;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd_.get(), 0) == 0) (void)!pwrite(fd_.get(), pid.data(), pid.size(), 0);
    held_ = true;
    return "";
}

}  // namespace norvd
