// pty_device.h: one device of the control channel, served as a pseudo-terminal.
//
// Clients open "/dev/rtfN", a symbolic link to the slave side /dev/pts/K of a
// pty whose master norvd reads and writes. norvd keeps a slave descriptor of
// its own open, so that a client's close never makes the master report a
// hang-up, and sets the line to raw mode (cfmakeraw, VMIN 64, VTIME 1) so that
// bytes pass unchanged.
//
// A client that is a session leader without a controlling terminal would take
// the pty as its controlling terminal when it opens it, and die of SIGHUP
// when norvd closes the master. So before the link exists, a guard process of
// norvd's own makes the pty its controlling terminal and holds it: no client
// can acquire it. The guard dies with norvd (parent-death signal).
//
// Clients' opens and closes are counted through inotify on /dev/pts/K.
#ifndef NORVD_PTY_DEVICE_H
#define NORVD_PTY_DEVICE_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "fd.h"
#include "request_parser.h"

namespace norvd {

// Bytes of unread input that a client may leave on a device before norvd
// drops what it would write there: a whole notice or reply never goes out in
// part, and a write never blocks. The line keeps 4096 bytes at most.
constexpr size_t kUnreadLimit = 4096 - 64;

class PtyDevice {
public:
    // Creates the device "<prefix><number>" (prefix "/dev/rtf"). Returns
    // nullptr with the failure in `error` ("<call> failed: <text>").
    static std::unique_ptr<PtyDevice> create(const std::string &prefix, int number,
                                             int inotifyFd, std::string &error);

    // Removes the link, stops watching, ends the guard and closes the pty.
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    int number() const { return number_; }
    int master() const { return master_.get(); }
    int watch() const { return watch_; }
    pid_t guard() const { return guard_; }
    const std::string &link() const { return link_; }
    const std::string &pts() const { return pts_; }

    // Bytes written to the clients and not yet read by any of them.
    size_t unread() const;

    // Writes a whole record to the clients. Returns false, writing nothing,
    // when it would not fit behind what they left unread.
    bool write_record(const uint8_t *data, size_t len);

    // Drops the unread replies and notices and the partial request of the
    // clients that have gone; keeps what a new client may have written since.
    void flush();

    // Whether a process other than norvd holds the device open, looked up in
    // /proc. inotify only says that an open or a close happened: it merges an
    // event into an identical one still unread, so its events cannot be
    // counted.
    bool opened_by_clients() const;

    // Whether clients hold the device, as last seen (set on an open event,
    // looked up again on every close event).
    bool inUse = false;
    bool everOpened = false;
    // When the device was last seen closed by its clients (true time); 0 while open.
    uint64_t idleSince = 0;
    RequestParser parser;

private:
    PtyDevice() = default;

    int number_ = -1;
    dev_t rdev_ = 0;   // the pty's number
    dev_t fsdev_ = 0;  // the devpts instance that holds it
    Fd master_;
    Fd slave_;
    int inotify_ = -1;
    int watch_ = -1;
    pid_t guard_ = -1;
    std::string link_;
    std::string pts_;
};

// "<call> failed: <system text>" for the current errno.
std::string failed(const char *call);

}  // namespace norvd

#endif  // NORVD_PTY_DEVICE_H
