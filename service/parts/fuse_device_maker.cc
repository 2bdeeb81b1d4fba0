// fuse_device_maker.cc: the devices of the control channel as files of
// norvd's FUSE file system, ready at once.
#include "parts/fuse_device_maker.h"

#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "io/log.h"

namespace norvd {

bool fuse_available() { return FuseSession::available(); }

FuseDeviceMaker::FuseDeviceMaker(EventLoop &loop, Events events) : loop_(loop), events_(std::move(events)) {}

std::unique_ptr<FuseDeviceMaker> FuseDeviceMaker::start(EventLoop &loop, Events events, const std::string &mount) {
    if (!fuse_available())
        return log_error("this norvd was built without libfuse3: device-path fuse is not available"), nullptr;
    std::unique_ptr<FuseDeviceMaker> maker(new FuseDeviceMaker(loop, std::move(events)));
    FuseDeviceMaker *m = maker.get();
    std::string parent = mount.substr(0, mount.rfind('/'));
    for (const std::string &dir : {parent, mount})
        if (!dir.empty() && mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST)
            return log_error(failed(("mkdir " + dir).c_str())), nullptr;
    // A norvd that was killed leaves its file system mounted and dead.
    struct stat st {};
    if (stat(mount.c_str(), &st) < 0 && errno == ENOTCONN) umount2(mount.c_str(), MNT_DETACH);

    FuseSession::Hooks hooks;
    hooks.input = [m](FuseDevice &dev) { m->events_.input(dev); };
    hooks.closed = [m](FuseDevice &dev) {
        m->closedTold_ = true;
        m->events_.closed(dev, m->loop_.now());
    };
    std::string why;
    m->session_ = FuseSession::mount(mount, std::move(hooks), why);
    if (!m->session_) return log_error(why), nullptr;
    if (!loop.watch(m->session_->fd(), EventLoop::kReadable, [m](uint32_t) { m->on_session(); }))
        return log_error(failed("epoll_ctl")), nullptr;
    m->wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!m->wake_.valid()) return log_error(failed("eventfd")), nullptr;
    if (!loop.watch(m->wake_.get(), EventLoop::kReadable, [m](uint32_t) { m->on_ready(); }))
        return log_error(failed("epoll_ctl")), nullptr;
    return maker;
}

FuseDeviceMaker::~FuseDeviceMaker() {
    if (wake_.valid()) loop_.unwatch(wake_.get());
    if (session_) loop_.unwatch(session_->fd());
}

void FuseDeviceMaker::on_session() {
    closedTold_ = false;
    if (!session_->serve()) {
        log_error("the devices' file system was unmounted: norvd stops");
        loop_.unwatch(session_->fd());
        loop_.stop();
        return;
    }
    if (closedTold_) events_.closedBatchEnd();
}

std::unique_ptr<ChannelDevice> FuseDeviceMaker::make(int number, const DeviceAccess &access) {
    std::string why;
    std::unique_ptr<FuseDevice> dev = session_->add(kDevicePrefix, number, access, why);
    if (!dev) return log_error(why), nullptr;
    unready_.push_back(dev.get());
    uint64_t one = 1;
    if (write(wake_.get(), &one, sizeof one) < 0) log_error(failed("write eventfd"));
    return dev;
}

bool FuseDeviceMaker::wait_ready(const ChannelDevice &dev) {
    for (auto u = unready_.begin(); u != unready_.end(); ++u)
        if (*u == &dev) {
            unready_.erase(u);
            return true;
        }
    errno = ENODEV;
    return false;
}

void FuseDeviceMaker::on_ready() {
    uint64_t count;
    if (read(wake_.get(), &count, sizeof count) < 0) return;
    BaseTime now = loop_.now();
    std::vector<FuseDevice *> ready;
    ready.swap(unready_);
    for (FuseDevice *dev : ready) events_.ready(*dev, 0);
    events_.readyBatchEnd(now);
}

bool FuseDeviceMaker::publish(ChannelDevice &device, std::string &error) {
    auto &dev = static_cast<FuseDevice &>(device);
    if (symlink(dev.node().c_str(), dev.link().c_str()) < 0)
        return error = failed(("symlink " + dev.link()).c_str()), false;
    dev.published = true;
    return true;
}

void FuseDeviceMaker::drop(std::unique_ptr<ChannelDevice> &device) {
    if (!device) return;
    // Every device here was made by make().
    auto *dev = static_cast<FuseDevice *>(device.get());
    if (dev->published) unlink(dev->link().c_str());
    for (auto u = unready_.begin(); u != unready_.end();) u = *u == dev ? unready_.erase(u) : std::next(u);
    session_->remove(*dev);
    device.reset();
}

}  // namespace norvd
