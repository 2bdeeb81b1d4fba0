// pty_device_maker.h: the devices of the control channel as pseudo-terminals.
//
// Each device is a pty (io/pty_device.h) guarded by a process of the guard
// keeper (io/guard_keeper.h) so that it never becomes a client's controlling
// terminal: a device is ready once its guard holds it. Should the keeper go,
// every device still waiting for its guard is told kLost and another keeper
// starts (norvd stops if none can). Closes are watched with inotify; input
// and the last client's going, on each master.
#ifndef NORVD_PTY_DEVICE_MAKER_H
#define NORVD_PTY_DEVICE_MAKER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fd.h"
#include "io/guard_keeper.h"
#include "io/pty_device.h"
#include "loop/event_loop.h"
#include "parts/device_maker.h"

namespace norvd {

class PtyDeviceMaker final : public DeviceMaker {
public:
    // Forks the keeper (call it early, while norvd is small) and opens the
    // inotify descriptor, both watched in `loop`. nullptr on failure, logged.
    static std::unique_ptr<PtyDeviceMaker> start(EventLoop &loop, Events events);
    ~PtyDeviceMaker() override;

    std::unique_ptr<ChannelDevice> make(int number, const DeviceAccess &access) override;
    bool wait_ready(const ChannelDevice &dev) override;
    bool publish(ChannelDevice &dev, std::string &error) override;
    void drop(std::unique_ptr<ChannelDevice> &dev) override;
    // The keeper, which holds every device while it guards it.
    std::vector<pid_t> own_processes() const override { return {keeper_->pid()}; }

private:
    PtyDeviceMaker(EventLoop &loop, Events events) : loop_(loop), events_(std::move(events)) {}
    bool start_keeper();
    void on_keeper();
    void on_inotify();

    EventLoop &loop_;
    Events events_;
    std::unique_ptr<GuardKeeper> keeper_;
    Fd inotify_;
    // Guards asked for whose status has not come yet: token -> device.
    std::map<uint32_t, PtyDevice *> tokens_;
    uint32_t nextToken_ = 0;
    // Published devices by their inotify watch.
    std::map<int, PtyDevice *> published_;
};

}  // namespace norvd

#endif  // NORVD_PTY_DEVICE_MAKER_H
