// pty_device.cc: creation and removal of a control channel device.
#include "pty_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace norvd {

std::string failed(const char *call) {
    return std::string(call) + " failed: " + std::strerror(errno);
}

namespace {

// The guard: a session of its own whose controlling terminal is the pty.
// Runs in the child right after fork; tells the parent through `ready` (one
// byte: 0, or the errno of the failed step) and then waits to be killed.
[[noreturn]] void run_guard(pid_t parent, int slave, int ready) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);  // norvd died before the signal was armed
    unsigned char status = 0;
    if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) < 0) status = static_cast<unsigned char>(errno);
    (void)!write(ready, &status, 1);
    // Hold nothing else of norvd's: the descriptors of other devices kept
    // open here would keep their ptys alive and their close events back.
    close_range(0, ~0U, 0);
    if (status != 0) _exit(1);
    for (;;) pause();
}

}  // namespace

std::unique_ptr<PtyDevice> PtyDevice::create(const std::string &prefix, int number, int inotifyFd,
                                             std::string &error) {
    std::unique_ptr<PtyDevice> dev(new PtyDevice);
    dev->number_ = number;
    dev->inotify_ = inotifyFd;

    dev->master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!dev->master_.valid()) return error = failed("posix_openpt"), nullptr;
    if (grantpt(dev->master_.get()) < 0) return error = failed("grantpt"), nullptr;
    if (unlockpt(dev->master_.get()) < 0) return error = failed("unlockpt"), nullptr;
    char name[64];
    if (ptsname_r(dev->master_.get(), name, sizeof name) != 0)
        return error = failed("ptsname_r"), nullptr;
    dev->pts_ = name;
    int flags = fcntl(dev->master_.get(), F_GETFL);
    if (flags < 0 || fcntl(dev->master_.get(), F_SETFL, flags | O_NONBLOCK) < 0)
        return error = failed("fcntl"), nullptr;

    dev->slave_.reset(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!dev->slave_.valid()) return error = failed("open"), nullptr;
    struct stat st {};
    if (fstat(dev->slave_.get(), &st) < 0) return error = failed("fstat"), nullptr;
    dev->rdev_ = st.st_rdev;
    dev->fsdev_ = st.st_dev;
    // Any program may use the service, as with the devices it stands in for.
    if (fchmod(dev->slave_.get(), 0666) < 0) return error = failed("fchmod"), nullptr;
    termios tio{};
    if (tcgetattr(dev->slave_.get(), &tio) < 0) return error = failed("tcgetattr"), nullptr;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 64;
    tio.c_cc[VTIME] = 1;
    if (tcsetattr(dev->slave_.get(), TCSANOW, &tio) < 0) return error = failed("tcsetattr"), nullptr;

    // Watch before anyone else can open it: every client open is counted.
    dev->watch_ = inotify_add_watch(inotifyFd, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (dev->watch_ < 0) return error = failed("inotify_add_watch"), nullptr;

    int ready[2];
    if (pipe2(ready, O_CLOEXEC) < 0) return error = failed("pipe2"), nullptr;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        error = failed("fork");
        close(ready[0]);
        close(ready[1]);
        return nullptr;
    }
    if (pid == 0) run_guard(parent, dev->slave_.get(), ready[1]);
    dev->guard_ = pid;
    close(ready[1]);
    unsigned char status = 0;
    ssize_t r;
    do {
        r = read(ready[0], &status, 1);
    } while (r < 0 && errno == EINTR);
    close(ready[0]);
    if (r != 1 || status != 0) {
        errno = r == 1 ? status : ECHILD;
        return error = failed("TIOCSCTTY in the guard"), nullptr;
    }

    dev->link_ = prefix + std::to_string(number);
    if (symlink(name, dev->link_.c_str()) < 0) {
        std::string link = dev->link_;
        dev->link_.clear();  // not ours: the destructor must leave it
        return error = failed(("symlink " + link).c_str()), nullptr;
    }
    return dev;
}

PtyDevice::~PtyDevice() {
    if (!link_.empty()) unlink(link_.c_str());
    if (watch_ >= 0) inotify_rm_watch(inotify_, watch_);
    // The guard is reaped by norvd's SIGCHLD handling.
    if (guard_ > 0) kill(guard_, SIGKILL);
}

size_t PtyDevice::unread() const {
    int n = 0;
    if (ioctl(slave_.get(), FIONREAD, &n) < 0 || n < 0) return 0;
    return static_cast<size_t>(n);
}

bool PtyDevice::write_record(const uint8_t *data, size_t len) {
    if (unread() + len > kUnreadLimit) return false;
    ssize_t w = write(master_.get(), data, len);
    return w == static_cast<ssize_t>(len);
}

namespace {

// The parent of process `pid` (a /proc directory name), or -1 when it is gone.
pid_t parent_of(const char *pid) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%s/stat", pid);
    Fd f(open(path, O_RDONLY | O_CLOEXEC));
    if (!f.valid()) return -1;
    char buf[512];
    ssize_t n = read(f.get(), buf, sizeof buf - 1);
    if (n <= 0) return -1;
    buf[n] = 0;
    // "pid (comm) state ppid ...": comm may hold anything, even ')'.
    const char *close = strrchr(buf, ')');
    int ppid = -1;
    if (close == nullptr || sscanf(close + 1, " %*c %d", &ppid) != 1) return -1;
    return ppid;
}

}  // namespace

bool PtyDevice::opened_by_clients() const {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return true;  // cannot tell: keep what clients may need
    pid_t selfPid = getpid();
    std::string self = std::to_string(selfPid);
    bool found = false;
    while (!found) {
        dirent *p = readdir(proc);
        if (p == nullptr) break;
        if (p->d_name[0] < '0' || p->d_name[0] > '9' || self == p->d_name) continue;
        std::string dir = std::string("/proc/") + p->d_name + "/fd";
        DIR *fds = opendir(dir.c_str());
        if (fds == nullptr) continue;  // gone meanwhile
        while (dirent *f = readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            struct stat st {};
            // Every devpts instance (a container's, a test's) numbers its
            // ptys from 0: only the instance and the number together name ours.
            if (fstatat(dirfd(fds), f->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == rdev_ && st.st_dev == fsdev_) {
                found = true;
                break;
            }
        }
        closedir(fds);
        // A guard just forked holds copies of all our descriptors until it
        // closes them. Those copies share our open files, so closing them
        // sends no close event: counting the guard as a client would keep
        // the device in use for good. Our only children are guards.
        if (found && parent_of(p->d_name) == selfPid) found = false;
    }
    closedir(proc);
    return found;
}

void PtyDevice::flush() {
    // Only what we wrote and no client read (the slave's input queue). The
    // bytes the gone clients wrote were read before this; anything in the
    // other direction now is a request of a client that opened the device
    // since it was last looked up, and must be served.
    tcflush(slave_.get(), TCIFLUSH);
    parser.reset();
}

}  // namespace norvd
