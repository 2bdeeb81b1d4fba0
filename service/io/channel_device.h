// channel_device.h: one device of the control channel, as the channel uses it.
//
// Clients open "/dev/rtfN", write requests on it and read what norvd writes:
// replies, answers to command 0, failure notices. The control channel reads
// and writes a device only through these calls, whatever carries the bytes
// (pseudo-terminals: pty_device.h); a device is made, published and dropped
// by a device maker (parts/device_maker.h).
#ifndef NORVD_CHANNEL_DEVICE_H
#define NORVD_CHANNEL_DEVICE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "core/request_parser.h"
#include "core/times.h"

namespace norvd {

// Bytes of unread input that clients may leave on a device before norvd
// stops writing there: what a client that does not read is given before its
// notices wait in norvd instead.
constexpr size_t kUnreadLimit = 4096 - 64;

// Who may open a device: its owner, its gid and its mode.
struct DeviceAccess {
    uid_t owner = 0;
    gid_t gid = 0;
    mode_t mode = 0600;
};

class ChannelDevice {
public:
    virtual ~ChannelDevice() = default;
    ChannelDevice(const ChannelDevice &) = delete;
    ChannelDevice &operator=(const ChannelDevice &) = delete;

    int number() const { return number_; }
    // The name clients open: "/dev/rtf<number>", a symbolic link.
    const std::string &link() const { return link_; }
    // The file the link leads to; whoever holds it open is a client.
    virtual const std::string &node() const = 0;
    // The node's device and inode numbers, as stat(2) gives them: what the
    // look for its holders compares. False (errno set) when they cannot be had.
    virtual bool node_id(dev_t &dev, ino_t &ino) const {
        struct stat st {};
        if (stat(node().c_str(), &st) < 0) return false;
        dev = st.st_dev;
        ino = st.st_ino;
        return true;
    }

    // Gives the device another owner, gid and mode. Clients that opened
    // it before keep their access: call it before anyone but root could
    // open it, or to close it further while no one can.
    virtual bool set_access(const DeviceAccess &access, std::string &error) = 0;

    // Whether a client holds the device open now.
    virtual bool held() const = 0;

    // Bytes written to the clients that none of them has read, as far as
    // can be told now (kUnreadLimit when nothing can be told).
    virtual size_t unread() const = 0;

    // Writes a whole record to the clients. Returns false, writing nothing,
    // when it would take what they left unread past unreadLimit or when
    // the device has no room for it now: a record never goes out in part,
    // and a write never blocks.
    virtual bool write_record(const uint8_t *data, size_t len) = 0;

    // Reads what the clients wrote, at most room bytes, without waiting:
    // read(2)'s result. EIO means that no client holds the device and
    // nothing is left.
    virtual ssize_t read_input(uint8_t *buf, size_t room) = 0;

    // Reads back everything no client has read: the first `room` bytes into
    // buf, the rest discarded. Returns how many bytes it took back in all.
    virtual size_t take_back(uint8_t *buf, size_t room) = 0;

    // The requests read so far, cut into records.
    RequestParser parser;
    // When bytes were last read from the device.
    BaseTime lastInput;
    // The most that clients may leave unread before norvd stops writing.
    size_t unreadLimit = kUnreadLimit;

protected:
    ChannelDevice(int number, std::string link) : number_(number), link_(std::move(link)) {}

private:
    int number_;
    std::string link_;
};

}  // namespace norvd

#endif  // NORVD_CHANNEL_DEVICE_H
