// pty_device.cc: creation, use and removal of a control channel device.
#include "io/pty_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "io/log.h"

namespace norvd {

std::unique_ptr<PtyDevice> PtyDevice::create(const std::string &prefix, int number,
                                             const DeviceAccess &access, Fd &slave,
                                             std::string &error) {
    std::unique_ptr<PtyDevice> dev(new PtyDevice(number, prefix + std::to_string(number)));

    dev->master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!dev->master_.valid()) return error = failed("posix_openpt"), nullptr;
    if (grantpt(dev->master_.get()) < 0) return error = failed("grantpt"), nullptr;
    char name[64];
    if (ptsname_r(dev->master_.get(), name, sizeof name) != 0)
        return error = failed("ptsname_r"), nullptr;
    dev->pts_ = name;
    // The slave's node exists from posix_openpt on, with the mode of the
    // devpts mount, but no one can open it while the pty is locked.
    if (!dev->set_access(access, error)) return nullptr;
    if (unlockpt(dev->master_.get()) < 0) return error = failed("unlockpt"), nullptr;

    // Opening the slave once and leaving it closed sets the hang-up state:
    // from here on, a hang-up means that no client holds the device.
    slave = dev->open_slave(O_RDWR);
    if (!slave.valid()) return error = failed("TIOCGPTPEER"), nullptr;
    termios tio{};
    if (tcgetattr(slave.get(), &tio) < 0) return error = failed("tcgetattr"), nullptr;
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 64;
    tio.c_cc[VTIME] = 1;
    if (tcsetattr(slave.get(), TCSANOW, &tio) < 0) return error = failed("tcsetattr"), nullptr;
    return dev;
}

bool PtyDevice::set_access(const DeviceAccess &access, std::string &error) {
    // By name: the node is this pty's for as long as norvd holds the master.
    if (chown(pts_.c_str(), access.owner, access.gid) < 0)
        return error = failed(("chown " + pts_).c_str()), false;
    if (chmod(pts_.c_str(), access.mode) < 0) return error = failed(("chmod " + pts_).c_str()), false;
    return true;
}

bool PtyDevice::publish(int inotifyFd, std::string &error) {
    inotify_ = inotifyFd;
    watch_ = inotify_add_watch(inotifyFd, pts_.c_str(), IN_CLOSE_WRITE);
    if (watch_ < 0) return error = failed("inotify_add_watch"), false;
    if (symlink(pts_.c_str(), link().c_str()) < 0) return error = failed(("symlink " + link()).c_str()), false;
    published_ = true;
    return true;
}

PtyDevice::~PtyDevice() {
    if (published_) unlink(link().c_str());
    if (watch_ >= 0) inotify_rm_watch(inotify_, watch_);
}

Fd PtyDevice::open_slave(int flags) const {
    return Fd(ioctl(master_.get(), TIOCGPTPEER, flags | O_NOCTTY | O_CLOEXEC));
}

bool PtyDevice::held() const {
    pollfd p{master_.get(), POLLIN, 0};
    if (poll(&p, 1, 0) < 0) return true;  // cannot tell: keep what clients may need
    return (p.revents & POLLHUP) == 0;
}

size_t PtyDevice::unread() const {
    Fd slave = open_slave(O_RDONLY | O_NONBLOCK);
    int n = 0;
    if (!slave.valid() || ioctl(slave.get(), FIONREAD, &n) < 0 || n < 0) return kUnreadLimit;
    return static_cast<size_t>(n);
}

namespace {

// Whether the pty takes a record whole now. Bytes written to the master wait
// in the pty's buffer until the kernel's worker moves them to the clients'
// line; the master polls writable exactly while that buffer is under its
// limit, and a write that starts under it is taken whole (a record is far
// smaller than one of its pages). Once the line is full, or while the worker
// waits for a CPU, the buffer fills and a write would come up short.
bool has_room(int master) {
    pollfd p{master, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
}

}  // namespace

bool PtyDevice::write_record(const uint8_t *data, size_t len) {
    // Asking the kernel for its count takes a descriptor of the slave opened
    // and closed: a third of norvd's time in an exchange when done for every
    // reply. While the estimate leaves room the count would say yes.
    if (unreadEstimate_ + len > unreadLimit) {
        unreadEstimate_ = unread();
        if (unreadEstimate_ + len > unreadLimit) return false;
    }
    if (!has_room(master_.get())) return false;
    ssize_t w = write(master_.get(), data, len);
    if (w > 0) unreadEstimate_ += static_cast<size_t>(w);
    return w == static_cast<ssize_t>(len);
}

ssize_t PtyDevice::read_input(uint8_t *buf, size_t room) { return read(master_.get(), buf, room); }

size_t PtyDevice::take_back(uint8_t *buf, size_t room) {
    Fd slave = open_slave(O_RDONLY | O_NONBLOCK);
    if (!slave.valid()) return 0;
    // A read that finds the line empty waits for the worker to move what is
    // still on its way, so reading until nothing comes takes back it all.
    uint8_t rest[1024];
    size_t got = 0;
    for (;;) {
        uint8_t *to = got < room ? buf + got : rest;
        size_t space = got < room ? room - got : sizeof rest;
        ssize_t n = read(slave.get(), to, space);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

}  // namespace norvd
