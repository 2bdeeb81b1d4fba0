// device_maker.h: makes the devices of the control channel and tells their
// events.
//
// The control channel asks for device N with an access and gets it at once,
// not yet reachable by name; the maker tells it when the device's guard
// holds it (or could not take it), and only then may the channel publish it.
// From then on the maker tells when a device has input (or its last client
// went: the event is the same) and when a client that wrote to it closed
// it. The channel reads requests from the device and writes records to it
// through the device's own calls (read_input, write_record, held, unread,
// take_back: pty_device.h), never through its descriptors; it ends a device
// by handing it back through drop(), after which no event names it, not even
// one already read.
//
// The devices are pseudo-terminals, each guarded by a process of the guard
// keeper (guard_keeper.h) so that it never becomes a client's controlling
// terminal. Should the keeper go, every device still waiting for its guard
// is told kGuardLost and another keeper starts (norvd stops if none can).
// Closes are watched with inotify. Another device path (FUSE-backed, say)
// keeps this contract: asks, guard (or its equivalent) answers, publish,
// input, closes, drop.
#ifndef NORVD_DEVICE_MAKER_H
#define NORVD_DEVICE_MAKER_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "fd.h"
#include "io/guard_keeper.h"
#include "io/pty_device.h"
#include "loop/event_loop.h"

namespace norvd {

// The devices' names: the registration device is /dev/rtf1.
constexpr const char *kDevicePrefix = "/dev/rtf";

class DeviceMaker {
public:
    // How the guard of a device answered: 0 when it holds the device, the
    // errno of its failed step, or kGuardLost when the keeper went first.
    static constexpr int kGuardLost = -1;

    // What the maker tells the channel. Each handler runs in the loop; none
    // may be empty.
    struct Events {
        // The guard of `dev` answered (`status` as above).
        std::function<void(PtyDevice &dev, int status)> guarded;
        // After the guard answers read at one wake-up, with the base time of
        // that wake-up.
        std::function<void(uint64_t now)> guardsAnswered;
        // `dev` has input, or its last client went.
        std::function<void(PtyDevice &dev)> input;
        // A client that wrote to the published device `dev` closed it.
        std::function<void(PtyDevice &dev, uint64_t now)> closed;
        // After the closes read at one wake-up.
        std::function<void()> closesRead;
    };

    // Forks the keeper (call it early, while norvd is small) and opens the
    // inotify descriptor, both watched in `loop`. nullptr on failure, logged.
    static std::unique_ptr<DeviceMaker> start(EventLoop &loop, Events events);

    // Drop every device first: their watches are in the loop.
    ~DeviceMaker();
    DeviceMaker(const DeviceMaker &) = delete;
    DeviceMaker &operator=(const DeviceMaker &) = delete;

    // A device "/dev/rtf<number>" whose guard is asked for; nullptr (logged)
    // when it cannot be made.
    std::unique_ptr<PtyDevice> make(int number, const DeviceAccess &access);
    // Waits for the guard of `dev` (at start, before the loop runs): true
    // when it holds the device, else errno is set.
    bool wait_guard(const PtyDevice &dev);
    // Makes `dev` reachable by its name; its closes are told from then on.
    bool publish(PtyDevice &dev, std::string &error);
    // Ends the device (nothing for none): no event names it any more.
    void drop(std::unique_ptr<PtyDevice> &dev);

    // The keeper's process, which holds no client's descriptors.
    pid_t keeper_pid() const { return keeper_->pid(); }

private:
    DeviceMaker(EventLoop &loop, Events events) : loop_(loop), events_(std::move(events)) {}
    bool start_keeper();
    void on_keeper();
    void on_inotify();

    EventLoop &loop_;
    Events events_;
    std::unique_ptr<GuardKeeper> keeper_;
    Fd inotify_;
    // Guards asked for and not yet answered: token -> device.
    std::map<uint32_t, PtyDevice *> tokens_;
    uint32_t nextToken_ = 0;
    // Published devices by their inotify watch.
    std::map<int, PtyDevice *> published_;
};

}  // namespace norvd

#endif  // NORVD_DEVICE_MAKER_H
