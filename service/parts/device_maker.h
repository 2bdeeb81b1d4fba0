// device_maker.h: what makes the devices of the control channel and tells
// their events.
//
// The control channel asks for device N with an access and gets it at once,
// not yet reachable by name; the maker tells it when the device is ready to
// be published (or cannot be), and only then may the channel publish it.
// From then on the maker tells when a device has input (or its last client
// went: the event is the same) and when a client that wrote to it closed
// it. The channel reads requests from the device and writes records to it
// through the device's own calls (io/channel_device.h); it ends a device by
// handing it back through drop(), after which no event names it, not even
// one already read.
//
// Pseudo-terminals are one way to carry the devices (pty_device_maker.h);
// another keeps this contract: make, ready, publish, input, closes, drop.
#ifndef NORVD_DEVICE_MAKER_H
#define NORVD_DEVICE_MAKER_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/times.h"
#include "io/channel_device.h"

namespace norvd {

// The devices' names: the connect device is /dev/rtf1.
constexpr const char *kDevicePrefix = "/dev/rtf";

class DeviceMaker {
public:
    // How a device's readiness was told: 0 when it may be published, the
    // errno of the step that failed, or kLost when what readies the devices
    // went first.
    static constexpr int kLost = -1;

    // What the maker tells the channel. Each handler runs in the loop; none
    // may be empty.
    struct Events {
        // `dev` is ready to be published, or cannot be (`status` as above).
        std::function<void(ChannelDevice &dev, int status)> ready;
        // After the readiness told at one wake-up, with the base time of
        // that wake-up.
        std::function<void(BaseTime now)> readyBatchEnd;
        // `dev` has input, or its last client went.
        std::function<void(ChannelDevice &dev)> input;
        // A client that wrote to the published device `dev` closed it.
        std::function<void(ChannelDevice &dev, BaseTime now)> closed;
        // After the closes read at one wake-up.
        std::function<void()> closedBatchEnd;
    };

    // Drop every device first.
    virtual ~DeviceMaker() = default;

    // Device "/dev/rtf<number>", whose readiness will be told; nullptr
    // (logged) when it cannot be made.
    virtual std::unique_ptr<ChannelDevice> make(int number, const DeviceAccess &access) = 0;
    // Waits until `dev` is ready (at start, before the loop runs): true when
    // it may be published, else errno is set.
    virtual bool wait_ready(const ChannelDevice &dev) = 0;
    // Makes `dev` reachable by its name; its closes are told from then on.
    virtual bool publish(ChannelDevice &dev, std::string &error) = 0;
    // Ends the device (nothing for none): no event names it any more.
    virtual void drop(std::unique_ptr<ChannelDevice> &dev) = 0;

    // The maker's own processes, which may hold devices but are no clients.
    virtual std::vector<pid_t> own_processes() const = 0;

protected:
    DeviceMaker() = default;
    DeviceMaker(const DeviceMaker &) = delete;
    DeviceMaker &operator=(const DeviceMaker &) = delete;
};

}  // namespace norvd

#endif  // NORVD_DEVICE_MAKER_H
