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

#include "fd.h"
#include "io/channel_device.h"

namespace norvd {

using norv::Fd;

class PtyDevice final : public ChannelDevice {
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

    // The access is that of the slave side.
    bool set_access(const DeviceAccess &access, std::string &error) override;

    // Creates the link: clients can reach the device from now on. Closes
    // of the slave by a client that opened it for writing (as the access
    // library does) are reported on inotifyFd from then on; norvd's own
    // descriptors of the slave are opened for reading only, so that those
    // events are always a client's.
    bool publish(int inotifyFd, std::string &error);

    // Removes the link and closes the pty: clients still holding it read
    // end of file, and its guard dies of the hang-up.
    ~PtyDevice() override;

    int master() const { return master_.get(); }
    int watch() const { return watch_; }
    // The slave side, /dev/pts/K.
    const std::string &node() const override { return pts_; }

    bool held() const override;
    // The kernel's count: bytes that have reached the clients' line. Bytes
    // on their way there through the kernel's worker are not in it yet.
    size_t unread() const override;
    // The kernel's count is asked only when the last count plus what was
    // written since leaves no room; "no room now" is the pty's buffer full
    // (its worker has fallen behind, or the line is full).
    bool write_record(const uint8_t *data, size_t len) override;
    ssize_t read_input(uint8_t *buf, size_t room) override;
    // Takes back bytes still on their way to the line as well.
    size_t take_back(uint8_t *buf, size_t room) override;

private:
    PtyDevice(int number, std::string link) : ChannelDevice(number, std::move(link)) {}
    // A descriptor of the slave side, for norvd's own use, or an invalid one.
    Fd open_slave(int flags) const;

    Fd master_;
    // unread() as last asked, plus every byte written since: a trigger to
    // ask again, not a bound, since bytes on their way to the line at the
    // last count are not in it.
    size_t unreadEstimate_ = 0;
    std::string pts_;
    bool published_ = false;
    int inotify_ = -1;
    int watch_ = -1;
};

}  // namespace norvd

#endif  // NORVD_PTY_DEVICE_H
