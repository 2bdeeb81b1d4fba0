// fuse_device.h: one device of the control channel, served as a file of
// norvd's own FUSE file system (fuse_session.h).
//
// Clients open "/dev/rtfN", a symbolic link to the file <mount>/rtfN. Like a
// pty, the device is one byte stream shared by all its clients: what norvd
// writes waits in an out-queue until a client reads it, and what clients
// write waits in an in-buffer until norvd reads it. Both live in norvd, so
// the counts are exact: unread() is the out-queue's size. This class keeps
// the queues and the count of open handles; the file system turns its
// requests into the client calls below and replies to the clients waiting
// to read when norvd writes (`wrote`).
#ifndef NORVD_FUSE_DEVICE_H
#define NORVD_FUSE_DEVICE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "io/channel_device.h"

namespace norvd {

class FuseDevice final : public ChannelDevice {
public:
    // Device "<prefix><number>" whose file is `node`, with inode number `ino`
    // on the file system whose device number is `dev`.
    FuseDevice(const std::string &prefix, int number, std::string node, dev_t dev, ino_t ino,
               const DeviceAccess &access);

    const std::string &node() const override { return node_; }
    // The file system asks access() at each open and each look at the file.
    bool set_access(const DeviceAccess &access, std::string &error) override;
    const DeviceAccess &access() const { return access_; }

    // Known without asking the file system: norvd must never wait for its
    // own file system.
    bool node_id(dev_t &dev, ino_t &ino) const override;
    ino_t ino() const { return ino_; }

    bool held() const override { return handles_ > 0; }
    size_t unread() const override { return out_.size(); }
    // Queues the record whole, or refuses it when the out-queue would grow
    // past unreadLimit. Calls `wrote` after queueing.
    bool write_record(const uint8_t *data, size_t len) override;
    // -1 with EAGAIN when nothing waits and a client holds the device, EIO
    // when nothing waits and none does.
    ssize_t read_input(uint8_t *buf, size_t room) override;
    size_t take_back(uint8_t *buf, size_t room) override;

    // The clients' side.
    void opened() { ++handles_; }
    void released() {
        if (handles_ > 0) --handles_;
    }
    int handles() const { return handles_; }
    // Appends what a client wrote to the in-buffer.
    void client_write(const uint8_t *data, size_t len);
    // Takes at most `room` bytes from the out-queue's head into `out`.
    size_t client_read(std::string &out, size_t room);

    // Told after each record queued, from write_record, and after each
    // change of access, from set_access.
    std::function<void()> wrote, accessChanged;
    // Set once the link exists: closes are told only from then on.
    bool published = false;

private:
    std::string node_;
    dev_t dev_;
    ino_t ino_;
    DeviceAccess access_;
    int handles_ = 0;
    std::deque<uint8_t> out_;
    std::deque<uint8_t> in_;
};

}  // namespace norvd

#endif  // NORVD_FUSE_DEVICE_H
