// pty_device_maker.cc: the ptys of the control channel, their guards and
// their closes.
#include "parts/pty_device_maker.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "io/log.h"

namespace norvd {

std::unique_ptr<PtyDeviceMaker> PtyDeviceMaker::start(EventLoop &loop, Events events) {
    std::unique_ptr<PtyDeviceMaker> maker(new PtyDeviceMaker(loop, std::move(events)));
    if (!maker->start_keeper()) return nullptr;
    // After the keeper's fork: the keeper has no use for it.
    maker->inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!maker->inotify_.valid()) return log_error(failed("inotify_init1")), nullptr;
    PtyDeviceMaker *m = maker.get();
    if (!loop.watch(m->inotify_.get(), EventLoop::kReadable, [m](uint32_t) { m->on_inotify(); }))
        return log_error(failed("epoll_ctl")), nullptr;
    return maker;
}

PtyDeviceMaker::~PtyDeviceMaker() {
    if (inotify_.valid()) loop_.unwatch(inotify_.get());
    if (keeper_) loop_.unwatch(keeper_->fd());
}

bool PtyDeviceMaker::start_keeper() {
    std::string why;
    keeper_ = GuardKeeper::start(why);
    if (!keeper_) return log_error(why), false;
    if (!loop_.watch(keeper_->fd(), EventLoop::kReadable, [this](uint32_t) { on_keeper(); }))
        return log_error(failed("epoll_ctl")), false;
    return true;
}

std::unique_ptr<ChannelDevice> PtyDeviceMaker::make(int number, const DeviceAccess &access) {
    std::string why;
    Fd slave;
    auto dev = PtyDevice::create(kDevicePrefix, number, access, slave, why);
    if (!dev) {
        log_error(why);
        return nullptr;
    }
    uint32_t token = nextToken_++;
    if (!keeper_->request(token, slave.get())) {
        log_error("the guard keeper cannot be reached");
        return nullptr;
    }
    // Edge-triggered: the master reports a hang-up for as long as no client
    // holds the device, and that is no news after the first time.
    PtyDevice *d = dev.get();
    if (!loop_.watch(dev->master(), EventLoop::kReadable | EventLoop::kEdge,
                     [this, d](uint32_t) { events_.input(*d); })) {
        log_error(failed("epoll_ctl"));
        return nullptr;
    }
    tokens_[token] = d;
    return dev;
}

bool PtyDeviceMaker::wait_ready(const ChannelDevice &dev) {
    for (auto t = tokens_.begin(); t != tokens_.end(); ++t) {
        if (t->second != &dev) continue;
        uint32_t token = t->first;
        tokens_.erase(t);
        int status = 0;
        if (!keeper_->wait_for(token, status) || status != 0) {
            errno = status != 0 ? status : ECHILD;
            return false;
        }
        return true;
    }
    errno = ECHILD;
    return false;
}

bool PtyDeviceMaker::publish(ChannelDevice &device, std::string &error) {
    auto &dev = static_cast<PtyDevice &>(device);
    if (!dev.publish(inotify_.get(), error)) return false;
    published_[dev.watch()] = &dev;
    return true;
}

void PtyDeviceMaker::drop(std::unique_ptr<ChannelDevice> &device) {
    if (!device) return;
    // Every device here was made by make().
    auto *dev = static_cast<PtyDevice *>(device.get());
    for (auto t = tokens_.begin(); t != tokens_.end();)
        t = t->second == dev ? tokens_.erase(t) : std::next(t);
    if (auto p = published_.find(dev->watch()); p != published_.end() && p->second == dev)
        published_.erase(p);
    loop_.unwatch(dev->master());
    device.reset();
}

void PtyDeviceMaker::on_keeper() {
    BaseTime now = loop_.now();
    uint32_t token;
    int status;
    while (keeper_->take_status(token, status)) {
        auto t = tokens_.find(token);
        if (t == tokens_.end()) continue;
        PtyDevice *dev = t->second;
        tokens_.erase(t);
        events_.ready(*dev, status);
    }
    if (keeper_->gone()) {
        log_error("the guard keeper has gone: connections in the making fail, another keeper starts");
        loop_.unwatch(keeper_->fd());
        keeper_.reset();
        std::map<uint32_t, PtyDevice *> waiting;
        waiting.swap(tokens_);
        for (const auto &[token, dev] : waiting) events_.ready(*dev, kLost);
        // Forked while the lookup's thread runs: the keeper only makes system
        // calls that are safe in the child of a process with threads.
        if (!start_keeper()) loop_.stop();
    }
    events_.readyBatchEnd(now);
}

void PtyDeviceMaker::on_inotify() {
    alignas(inotify_event) char buf[4096];
    BaseTime now = loop_.now();
    for (;;) {
        ssize_t len = read(inotify_.get(), buf, sizeof buf);
        if (len <= 0) break;
        for (char *p = buf; p < buf + len;) {
            auto *ev = reinterpret_cast<inotify_event *>(p);
            p += sizeof(inotify_event) + ev->len;
            // Lost events only cost time: a connection whose close went
            // unseen is reclaimed by the 10 s rule instead.
            if (ev->mask & IN_Q_OVERFLOW) continue;
            auto d = published_.find(ev->wd);
            if (d != published_.end()) events_.closed(*d->second, now);
        }
    }
    events_.closedBatchEnd();
}

}  // namespace norvd
