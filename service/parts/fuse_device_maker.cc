// fuse_device_maker.cc: norvd's FUSE file system of devices, served on the
// loop's thread through libfuse3's low-level interface.
#include "parts/fuse_device_maker.h"

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <utility>

#include "io/log.h"

#ifdef NORVD_WITH_FUSE
#define FUSE_USE_VERSION 34
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <sys/mount.h>

#include <cstdlib>
#include <deque>
#include <list>
#endif

namespace norvd {

#ifndef NORVD_WITH_FUSE

bool fuse_available() { return false; }

struct FuseDeviceMaker::Session {};

FuseDeviceMaker::FuseDeviceMaker(EventLoop &loop, Events events) : loop_(loop), events_(std::move(events)) {}

std::unique_ptr<FuseDeviceMaker> FuseDeviceMaker::start(EventLoop &, Events, const std::string &) {
    log_error("this norvd was built without libfuse3: --device-path fuse is not available");
    return nullptr;
}

FuseDeviceMaker::~FuseDeviceMaker() = default;
std::unique_ptr<ChannelDevice> FuseDeviceMaker::make(int, const DeviceAccess &) { return nullptr; }
bool FuseDeviceMaker::wait_ready(const ChannelDevice &) { return errno = ENODEV, false; }
bool FuseDeviceMaker::publish(ChannelDevice &, std::string &error) { return error = "no FUSE", false; }
void FuseDeviceMaker::drop(std::unique_ptr<ChannelDevice> &dev) { dev.reset(); }
void FuseDeviceMaker::on_ready() {}
void FuseDeviceMaker::on_session() {}
void FuseDeviceMaker::told_input(FuseDevice &) {}
void FuseDeviceMaker::told_closed(FuseDevice &) {}

#else

bool fuse_available() { return true; }

namespace {

// Attributes are kept by the kernel for this long: norvd tells it when a
// file's access changes, and a look at an open device (the holders' look,
// from another thread) then needs no answer from the loop. Names are asked
// every time, so that a number given again finds its new file.
constexpr double kAttrTimeout = 86400.0;
constexpr double kEntryTimeout = 0.0;

// A client's open of a device; `dev` is nullptr once the device was dropped
// (its reads then end the file, its writes fail).
struct Handle {
    FuseDevice *dev = nullptr;
    bool writer = false;
};

// A blocking read waiting for bytes.
struct PendingRead {
    fuse_req_t req;
    size_t size;
};

// The major:minor of the file system mounted on `dir`, read from the
// process's mount table (asking the file system itself would wait for norvd).
bool mount_dev(const std::string &dir, dev_t &dev) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string id, parent, majmin, root, point;
        if (!(words >> id >> parent >> majmin >> root >> point)) continue;
        if (point != dir) continue;
        unsigned maj = 0, min = 0;
        if (std::sscanf(majmin.c_str(), "%u:%u", &maj, &min) != 2) continue;
        dev = makedev(maj, min);
        found = true;  // the last mount on the directory is the one seen
    }
    return found;
}

}  // namespace

struct FuseDeviceMaker::Session {
    FuseDeviceMaker *maker = nullptr;
    fuse_session *se = nullptr;
    bool mounted = false;
    fuse_buf buf{};
    std::string mount;
    dev_t dev = 0;
    ino_t nextIno = FUSE_ROOT_ID + 1;
    std::map<ino_t, FuseDevice *> devices;
    std::map<uint64_t, Handle> handles;
    uint64_t nextFh = 1;
    std::map<FuseDevice *, std::deque<PendingRead>> reads;
    std::map<FuseDevice *, std::vector<fuse_pollhandle *>> polls;
    // Closes told during the current batch of requests.
    bool closedTold = false;

    ~Session() {
        if (se) {
            if (mounted) fuse_session_unmount(se);
            fuse_session_destroy(se);
        }
        std::free(buf.mem);
    }

    FuseDevice *device(ino_t ino) const {
        auto d = devices.find(ino);
        return d == devices.end() ? nullptr : d->second;
    }
    bool alive(const FuseDevice *dev) const {
        auto d = devices.find(dev->ino());
        return d != devices.end() && d->second == dev;
    }

    // Hands the bytes queued on `dev` to the reads waiting there, oldest
    // first, and wakes the clients polling it.
    void serve_reads(FuseDevice &dev) {
        auto r = reads.find(&dev);
        std::string bytes;
        while (r != reads.end() && !r->second.empty() && dev.unread() > 0) {
            PendingRead p = r->second.front();
            r->second.pop_front();
            fuse_req_interrupt_func(p.req, nullptr, nullptr);
            dev.client_read(bytes, p.size);
            fuse_reply_buf(p.req, bytes.data(), bytes.size());
        }
        if (r != reads.end() && r->second.empty()) reads.erase(r);
        wake_polls(dev);
    }
    void wake_polls(FuseDevice &dev) {
        auto p = polls.find(&dev);
        if (p == polls.end()) return;
        for (fuse_pollhandle *ph : p->second) {
            fuse_lowlevel_notify_poll(ph);
            fuse_pollhandle_destroy(ph);
        }
        polls.erase(p);
    }
    // The device is gone: waiting reads end the file, polls are woken.
    void forget(FuseDevice &dev) {
        if (auto r = reads.find(&dev); r != reads.end()) {
            for (const PendingRead &p : r->second) {
                fuse_req_interrupt_func(p.req, nullptr, nullptr);
                fuse_reply_buf(p.req, nullptr, 0);
            }
            reads.erase(r);
        }
        wake_polls(dev);
        for (auto &[fh, h] : handles)
            if (h.dev == &dev) h.dev = nullptr;
        devices.erase(dev.ino());
    }

    fuse_entry_param entry(const FuseDevice &dev) const {
        fuse_entry_param e{};
        e.ino = dev.ino();
        e.generation = 1;
        e.attr = attr(dev);
        e.attr_timeout = kAttrTimeout;
        e.entry_timeout = kEntryTimeout;
        return e;
    }
    static struct stat attr(const FuseDevice &dev) {
        struct stat st {};
        st.st_ino = dev.ino();
        st.st_mode = S_IFREG | (dev.access().mode & 07777);
        st.st_nlink = 1;
        st.st_uid = dev.access().owner;
        st.st_gid = dev.access().gid;
        return st;
    }
    static struct stat root_attr() {
        struct stat st {};
        st.st_ino = FUSE_ROOT_ID;
        st.st_mode = S_IFDIR | 0755;
        st.st_nlink = 2;
        return st;
    }
};

namespace {

using Session = FuseDeviceMaker::Session;

Session &session_of(fuse_req_t req) { return *static_cast<Session *>(fuse_req_userdata(req)); }

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    Session &s = session_of(req);
    if (parent == FUSE_ROOT_ID)
        for (const auto &[ino, dev] : s.devices)
            if (dev->node().compare(s.mount.size() + 1, std::string::npos, name) == 0) {
                fuse_entry_param e = s.entry(*dev);
                fuse_reply_entry(req, &e);
                return;
            }
    fuse_reply_err(req, ENOENT);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info *) {
    Session &s = session_of(req);
    struct stat st {};
    if (ino == FUSE_ROOT_ID) {
        st = Session::root_attr();
    } else if (FuseDevice *dev = s.device(ino)) {
        st = Session::attr(*dev);
    } else {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_reply_attr(req, &st, kAttrTimeout);
}

// Owner, mode and size are norvd's to set.
void op_setattr(fuse_req_t req, fuse_ino_t, struct stat *, int, fuse_file_info *) { fuse_reply_err(req, EPERM); }

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi) {
    Session &s = session_of(req);
    FuseDevice *dev = s.device(ino);
    if (!dev) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fi->direct_io = 1;
    fi->nonseekable = 1;
    fi->keep_cache = 0;
    fi->fh = s.nextFh++;
    bool writer = (fi->flags & O_ACCMODE) != O_RDONLY;
    if (fuse_reply_open(req, fi) != 0) return;  // the client went meanwhile
    s.handles[fi->fh] = Handle{dev, writer};
    dev->opened();
}

void op_interrupt(fuse_req_t req, void *data) {
    Session &s = *static_cast<Session *>(data);
    for (auto r = s.reads.begin(); r != s.reads.end(); ++r)
        for (auto p = r->second.begin(); p != r->second.end(); ++p)
            if (p->req == req) {
                r->second.erase(p);
                if (r->second.empty()) s.reads.erase(r);
                fuse_reply_err(req, EINTR);
                return;
            }
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t, fuse_file_info *fi) {
    Session &s = session_of(req);
    auto h = s.handles.find(fi->fh);
    if (h == s.handles.end() || !h->second.dev) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    FuseDevice &dev = *h->second.dev;
    if (dev.unread() > 0) {
        std::string bytes;
        dev.client_read(bytes, size);
        fuse_reply_buf(req, bytes.data(), bytes.size());
        return;
    }
    if (fi->flags & O_NONBLOCK) {
        fuse_reply_err(req, EAGAIN);
        return;
    }
    s.reads[&dev].push_back(PendingRead{req, size});
    // Called at once when the read was interrupted already.
    fuse_req_interrupt_func(req, op_interrupt, &s);
}

void op_write(fuse_req_t req, fuse_ino_t, const char *buf, size_t size, off_t, fuse_file_info *fi) {
    Session &s = session_of(req);
    auto h = s.handles.find(fi->fh);
    if (h == s.handles.end() || !h->second.dev) {
        fuse_reply_err(req, EIO);
        return;
    }
    FuseDevice &dev = *h->second.dev;
    dev.client_write(reinterpret_cast<const uint8_t *>(buf), size);
    fuse_reply_write(req, size);
    s.maker->told_input(dev);
}

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info *fi) {
    Session &s = session_of(req);
    fuse_reply_err(req, 0);
    auto h = s.handles.find(fi->fh);
    if (h == s.handles.end()) return;
    Handle handle = h->second;
    s.handles.erase(h);
    if (!handle.dev) return;
    FuseDevice &dev = *handle.dev;
    dev.released();
    // The last client's going reads as input, as a pty's hang-up does.
    if (!dev.held()) {
        s.maker->told_input(dev);
        if (!s.alive(&dev)) return;
    }
    if (handle.writer && dev.published) s.maker->told_closed(dev);
}

// The listing of the root: every device's file, for whoever looks.
void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info *) {
    Session &s = session_of(req);
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    std::vector<std::pair<std::string, struct stat>> names = {{".", Session::root_attr()},
                                                              {"..", Session::root_attr()}};
    for (const auto &[i, dev] : s.devices) names.emplace_back(dev->node().substr(s.mount.size() + 1), Session::attr(*dev));
    std::string buf;
    for (size_t n = 0; n < names.size(); ++n) {
        size_t need = fuse_add_direntry(req, nullptr, 0, names[n].first.c_str(), nullptr, 0);
        size_t at = buf.size();
        buf.resize(at + need);
        fuse_add_direntry(req, buf.data() + at, need, names[n].first.c_str(), &names[n].second,
                          static_cast<off_t>(n + 1));
    }
    // Each entry's offset is its index plus one: `off` counts whole entries.
    size_t from = 0;
    for (off_t n = 0; n < off && from < buf.size(); ++n)
        from += fuse_add_direntry(req, nullptr, 0, names[static_cast<size_t>(n)].first.c_str(), nullptr, 0);
    size_t len = 0;
    for (size_t n = static_cast<size_t>(off); n < names.size(); ++n) {
        size_t need = fuse_add_direntry(req, nullptr, 0, names[n].first.c_str(), nullptr, 0);
        if (len + need > size) break;
        len += need;
    }
    if (from > buf.size()) from = buf.size();
    fuse_reply_buf(req, buf.data() + from, len);
}

void op_poll(fuse_req_t req, fuse_ino_t, fuse_file_info *fi, fuse_pollhandle *ph) {
    Session &s = session_of(req);
    auto h = s.handles.find(fi->fh);
    unsigned revents = POLLOUT | POLLWRNORM;
    FuseDevice *dev = h == s.handles.end() ? nullptr : h->second.dev;
    if (!dev)
        revents |= POLLIN | POLLRDNORM | POLLHUP;
    else if (dev->unread() > 0)
        revents |= POLLIN | POLLRDNORM;
    if (ph) {
        if (dev && !(revents & POLLIN))
            s.polls[dev].push_back(ph);
        else
            fuse_pollhandle_destroy(ph);
    }
    fuse_reply_poll(req, revents);
}

}  // namespace

FuseDeviceMaker::FuseDeviceMaker(EventLoop &loop, Events events) : loop_(loop), events_(std::move(events)) {}

void FuseDeviceMaker::told_input(FuseDevice &dev) { events_.input(dev); }

void FuseDeviceMaker::told_closed(FuseDevice &dev) {
    session_->closedTold = true;
    events_.closed(dev, loop_.now());
}

std::unique_ptr<FuseDeviceMaker> FuseDeviceMaker::start(EventLoop &loop, Events events, const std::string &mount) {
    std::unique_ptr<FuseDeviceMaker> maker(new FuseDeviceMaker(loop, std::move(events)));
    FuseDeviceMaker *m = maker.get();
    m->session_ = std::make_unique<Session>();
    Session &s = *m->session_;
    s.maker = m;
    s.mount = mount;

    std::string parent = mount.substr(0, mount.rfind('/'));
    for (const std::string &dir : {parent, mount})
        if (!dir.empty() && mkdir(dir.c_str(), 0755) < 0 && errno != EEXIST)
            return log_error(failed(("mkdir " + dir).c_str())), nullptr;
    // A norvd that was killed leaves its file system mounted and dead.
    struct stat st {};
    if (stat(mount.c_str(), &st) < 0 && errno == ENOTCONN) umount2(mount.c_str(), MNT_DETACH);

    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.lookup = op_lookup;
        o.getattr = op_getattr;
        o.setattr = op_setattr;
        o.open = op_open;
        o.read = op_read;
        o.write = op_write;
        o.release = op_release;
        o.poll = op_poll;
        o.readdir = op_readdir;
        return o;
    }();
    char arg0[] = "norvd", arg1[] = "-o", arg2[] = "allow_other,default_permissions,fsname=norvd,subtype=norvd";
    char *argv[] = {arg0, arg1, arg2, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, argv);
    s.se = fuse_session_new(&args, &ops, sizeof ops, &s);
    if (!s.se) return log_error("cannot start the FUSE session of " + mount), nullptr;
    if (fuse_session_mount(s.se, mount.c_str()) != 0)
        return log_error("cannot mount the devices' file system on " + mount + " (is /dev/fuse there?)"), nullptr;
    s.mounted = true;
    if (!mount_dev(mount, s.dev)) return log_error("no mount of " + mount + " in /proc/self/mountinfo"), nullptr;
    int fd = fuse_session_fd(s.se);
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) return log_error(failed("fcntl")), nullptr;
    if (!loop.watch(fd, EventLoop::kReadable, [m](uint32_t) { m->on_session(); }))
        return log_error(failed("epoll_ctl")), nullptr;
    m->wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!m->wake_.valid()) return log_error(failed("eventfd")), nullptr;
    if (!loop.watch(m->wake_.get(), EventLoop::kReadable, [m](uint32_t) { m->on_ready(); }))
        return log_error(failed("epoll_ctl")), nullptr;
    return maker;
}

FuseDeviceMaker::~FuseDeviceMaker() {
    if (wake_.valid()) loop_.unwatch(wake_.get());
    if (session_ && session_->se) loop_.unwatch(fuse_session_fd(session_->se));
    if (session_)
        while (!session_->devices.empty()) session_->forget(*session_->devices.begin()->second);
}

void FuseDeviceMaker::on_session() {
    Session &s = *session_;
    s.closedTold = false;
    while (!fuse_session_exited(s.se)) {
        int r = fuse_session_receive_buf(s.se, &s.buf);
        if (r == -EINTR) continue;
        if (r == -EAGAIN) break;
        if (r <= 0) {
            // Unmounted by someone else: no client can reach a device any more.
            log_error("the devices' file system on " + s.mount + " was unmounted: norvd stops");
            loop_.unwatch(fuse_session_fd(s.se));
            loop_.stop();
            break;
        }
        fuse_session_process_buf(s.se, &s.buf);
    }
    if (s.closedTold) events_.closedBatchEnd();
}

std::unique_ptr<ChannelDevice> FuseDeviceMaker::make(int number, const DeviceAccess &access) {
    Session &s = *session_;
    std::string name = "rtf" + std::to_string(number);
    for (const auto &[ino, dev] : s.devices)
        if (dev->number() == number) {
            log_error("the file " + s.mount + "/" + name + " exists already");
            return nullptr;
        }
    auto dev = std::make_unique<FuseDevice>(kDevicePrefix, number, s.mount + "/" + name, s.dev, s.nextIno++,
                                            access);
    FuseDevice *d = dev.get();
    d->wrote = [&s, d] { s.serve_reads(*d); };
    // The kernel keeps a file's attributes: it must ask again before the
    // next open is checked. Nothing to do for a file it has not seen yet.
    d->accessChanged = [&s, d] { fuse_lowlevel_notify_inval_inode(s.se, d->ino(), -1, 0); };
    s.devices[d->ino()] = d;
    unready_.push_back(d);
    uint64_t one = 1;
    if (write(wake_.get(), &one, sizeof one) < 0) log_error(failed("eventfd write"));
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
    session_->forget(*dev);
    device.reset();
}

#endif

}  // namespace norvd
