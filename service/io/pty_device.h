// pty_device.h: one device of the control channel, served as a pseudo-terminal.
//
// Clients open "/dev/rtfN", a symbolic link to the slave side /dev/pts/K of a
// pty whose master norvd reads and writes. The line is in raw mode
// (cfmakeraw, VMIN 64, VTIME 1) so that bytes pass unchanged.
//
// norvd keeps no descriptor of the slave side open. The master then tells,
// at no cost, whether any client holds the device: it reports a hang-up
// exactly while no slave descriptor is open (the kernel sets the state on
// the last close and clears it on every open). The device is created with
// that state set, by opening and closing the slave once, so that "hung up"
// means "no client" from the start. When norvd needs the slave side (the
// bytes its clients left unread), it opens a descriptor of its own through
// the master for that moment only.
//
// A pty is also guarded against becoming a client's controlling terminal
// (guard_keeper.h): the link appears only once its guard holds it.
#ifndef NORVD_PTY_DEVICE_H
#define NORVD_PTY_DEVICE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/request_parser.h"
#include "fd.h"

namespace norvd {

using norv::Fd;

// Bytes of unread input that clients may leave on a device before norvd
// stops writing there (the line keeps 4096 bytes at most): what a client
// that does not read is given before its notices wait in norvd instead.
constexpr size_t kUnreadLimit = 4096 - 64;

// Who may open a device: its owner, group and mode (of the slave side).
struct DeviceAccess {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0600;
};

class PtyDevice {
public:
    // Creates the pty of device "<prefix><number>" (prefix "/dev/rtf"), not
    // yet reachable by name, with the access given: it is set while the pty
    // is still locked, so that no one else has ever opened it. `slave`
    // receives a descriptor of the slave side for the guard; the device reads
    // as held until it is closed. Returns nullptr with the failure in `error`
    // ("<call> failed: <text>").
    static std::unique_ptr<PtyDevice> create(const std::string &prefix, int number,
                                             const DeviceAccess &access, Fd &slave,
                                             std::string &error);

    // Gives the device another owner, group and mode. Descriptors opened
    // before keep their access: call it before anyone but root could open
    // the device, or to close it further while no one can.
    bool set_access(const DeviceAccess &access, std::string &error);

    // Creates the link: clients can reach the device from now on. Closes
    // of the slave by a client that opened it for writing (as the access
    // library does) are reported on inotifyFd from then on; norvd's own
    // descriptors of the slave are opened for reading only, so that those
    // events are always a client's.
    bool publish(int inotifyFd, std::string &error);

    // Removes the link and closes the pty: clients still holding it read
    // end of file, and its guard dies of the hang-up.
    ~PtyDevice();
    PtyDevice(const PtyDevice &) = delete;
    PtyDevice &operator=(const PtyDevice &) = delete;

    int number() const { return number_; }
    int master() const { return master_.get(); }
    int watch() const { return watch_; }
    const std::string &link() const { return link_; }
    const std::string &pts() const { return pts_; }

    // Whether a client holds the device open now.
    bool held() const;

    // Bytes written to the clients that have reached their line and that
    // none of them has read: the kernel's count. Bytes on their way to the
    // line through the kernel's worker are not in it yet. (kUnreadLimit
    // when nothing can be told: nothing more is written.)
    size_t unread() const;

    // Writes a whole record to the clients. Returns false, writing nothing,
    // when it would take the clients' unread bytes past unreadLimit, or when
    // the pty has no room left for it (its worker has fallen behind): a
    // record never goes out in part and a write never blocks. The kernel's
    // count is asked only when the last count plus what was written since
    // leaves no room.
    bool write_record(const uint8_t *data, size_t len);

    // Reads what the clients wrote, at most room bytes, without waiting:
    // read(2)'s result. EIO means that no client holds the device and
    // nothing is left.
    ssize_t read_input(uint8_t *buf, size_t room);

    // Reads back everything no client has read, including bytes still on
    // their way to the line: the first `room` bytes into buf, the rest
    // discarded. Returns how many bytes it took back in all.
    size_t take_back(uint8_t *buf, size_t room);

    // The most that clients may leave unread before norvd stops writing.
    size_t unreadLimit = kUnreadLimit;

    RequestParser parser;
    // When bytes were last read from the device (norvd's monotonic time).
    uint64_t lastInput = 0;

private:
    PtyDevice() = default;
    // A descriptor of the slave side, for norvd's own use, or an invalid one.
    Fd open_slave(int flags) const;

    int number_ = -1;
    Fd master_;
    // unread() as last asked, plus every byte written since: a trigger to
    // ask again, not a bound, since bytes on their way to the line at the
    // last count are not in it.
    size_t unreadEstimate_ = 0;
    std::string link_;
    std::string pts_;
    bool published_ = false;
    int inotify_ = -1;
    int watch_ = -1;
};

}  // namespace norvd

#endif  // NORVD_PTY_DEVICE_H
