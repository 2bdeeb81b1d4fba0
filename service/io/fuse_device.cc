// fuse_device.cc: the queues and the handle count of a FUSE-served device.
#include "io/fuse_device.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace norvd {

FuseDevice::FuseDevice(const std::string &prefix, int number, std::string node, dev_t dev, ino_t ino,
                       const DeviceAccess &access)
    : ChannelDevice(number, prefix + std::to_string(number)), node_(std::move(node)), dev_(dev), ino_(ino),
      access_(access) {}

bool FuseDevice::set_access(const DeviceAccess &access, std::string &) {
    access_ = access;
    if (accessChanged) accessChanged();
    return true;
}

bool FuseDevice::node_id(dev_t &dev, ino_t &ino) const {
    dev = dev_;
    ino = ino_;
    return true;
}

bool FuseDevice::write_record(const uint8_t *data, size_t len) {
    if (out_.size() + len > unreadLimit) return false;
    out_.insert(out_.end(), data, data + len);
    if (wrote) wrote();
    return true;
}

ssize_t FuseDevice::read_input(uint8_t *buf, size_t room) {
    if (in_.empty()) {
        errno = handles_ > 0 ? EAGAIN : EIO;
        return -1;
    }
    size_t n = std::min(room, in_.size());
    std::copy_n(in_.begin(), n, buf);
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<ssize_t>(n);
}

size_t FuseDevice::take_back(uint8_t *buf, size_t room) {
    size_t n = out_.size();
    std::copy_n(out_.begin(), std::min(room, n), buf);
    out_.clear();
    return n;
}

void FuseDevice::client_write(const uint8_t *data, size_t len) { in_.insert(in_.end(), data, data + len); }

size_t FuseDevice::client_read(std::string &out, size_t room) {
    size_t n = std::min(room, out_.size());
    out.assign(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

}  // namespace norvd
