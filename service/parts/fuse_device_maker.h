// fuse_device_maker.h: the devices of the control channel as files of a FUSE
// file system that norvd serves itself.
//
// norvd mounts the file system on a directory of its own (default
// /run/norvd/devices) and serves its requests on the loop's thread: the
// session's descriptor is watched in the loop like any other, so a client's
// write reaches the channel and the reply reaches a waiting read without a
// kernel worker in between. Each device is the file "rtfN" there
// (io/fuse_device.h), from make() until drop(); the kernel checks each open
// against the file's owner, gid and mode (default_permissions). A device is
// ready at once: no guard is needed, as a regular file never becomes a
// controlling terminal. The file system itself is io/fuse_session.h.
#ifndef NORVD_FUSE_DEVICE_MAKER_H
#define NORVD_FUSE_DEVICE_MAKER_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fd.h"
#include "io/fuse_session.h"
#include "loop/event_loop.h"
#include "parts/device_maker.h"

namespace norvd {

constexpr const char *kDefaultDeviceMount = "/run/norvd/devices";

// Whether this norvd was built with libfuse3.
bool fuse_available();

class FuseDeviceMaker final : public DeviceMaker {
public:
    // Creates `mount` (and its parent) if needed, mounts the file system
    // there and watches its session in `loop`. nullptr on failure, logged.
    static std::unique_ptr<FuseDeviceMaker> start(EventLoop &loop, Events events,
                                                  const std::string &mount = kDefaultDeviceMount);
    // Unmounts the file system: clients still holding a device read end of file.
    ~FuseDeviceMaker() override;

    std::unique_ptr<ChannelDevice> make(int number, const DeviceAccess &access) override;
    bool wait_ready(const ChannelDevice &dev) override;
    bool publish(ChannelDevice &dev, std::string &error) override;
    void drop(std::unique_ptr<ChannelDevice> &dev) override;
    std::vector<pid_t> own_processes() const override { return {}; }

private:
    FuseDeviceMaker(EventLoop &loop, Events events);
    // Serves the requests waiting on the session, until none is left.
    void on_session();
    // Tells the devices made since the last time that they are ready.
    void on_ready();

    EventLoop &loop_;
    Events events_;
    std::unique_ptr<FuseSession> session_;
    // A close was told during the requests being served.
    bool closedTold_ = false;
    // Made and not yet told ready; an eventfd wakes the loop to tell them.
    std::vector<FuseDevice *> unready_;
    norv::Fd wake_;
};

}  // namespace norvd

#endif  // NORVD_FUSE_DEVICE_MAKER_H
