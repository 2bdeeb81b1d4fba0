// fuse_session.cc: the requests of norvd's FUSE file system, served from
// the devices' queues.
#include "io/fuse_session.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#ifdef NORVD_WITH_FUSE
#define FUSE_USE_VERSION 34
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>
#endif

#include "io/log.h"

namespace norvd {

#ifndef NORVD_WITH_FUSE

struct FuseSession::State {};

bool FuseSession::available() { return false; }
FuseSession::FuseSession() = default;
FuseSession::~FuseSession() = default;
std::unique_ptr<FuseSession> FuseSession::mount(const std::string &, Hooks, std::string &error) {
    error = "this norvd was built without libfuse3";
    return nullptr;
}
int FuseSession::fd() const { return -1; }
bool FuseSession::serve() { return false; }
std::unique_ptr<FuseDevice> FuseSession::add(const std::string &, int, const DeviceAccess &, std::string &error) {
    error = "this norvd was built without libfuse3";
    return nullptr;
}
void FuseSession::remove(FuseDevice &) {}

#else

bool FuseSession::available() { return true; }

namespace {

// Attributes are kept by the kernel for this long: norvd tells it when a
// file's access changes, and a look at an open device (the holders' look,
// from another thread) then needs no reply from the loop. Names are asked
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

struct FuseSession::State {
    FuseSession::Hooks hooks;
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

    ~State() {
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

using Session = FuseSession::State;

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
    s.hooks.input(dev);
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
        s.hooks.input(dev);
        if (!s.alive(&dev)) return;
    }
    if (handle.writer && dev.published) s.hooks.closed(dev);
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

FuseSession::FuseSession() : state_(std::make_unique<State>()) {}
FuseSession::~FuseSession() {
    while (!state_->devices.empty()) state_->forget(*state_->devices.begin()->second);
}

std::unique_ptr<FuseSession> FuseSession::mount(const std::string &dir, Hooks hooks, std::string &error) {
    std::unique_ptr<FuseSession> session(new FuseSession());
    State &s = *session->state_;
    s.hooks = std::move(hooks);
    s.mount = dir;
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
    if (!s.se) return error = "cannot start the FUSE session of " + dir, nullptr;
    if (fuse_session_mount(s.se, dir.c_str()) != 0)
        return error = "cannot mount the devices' file system on " + dir + " (is /dev/fuse there?)", nullptr;
    s.mounted = true;
    if (!mount_dev(dir, s.dev)) return error = "no mount of " + dir + " in /proc/self/mountinfo", nullptr;
    int fd = fuse_session_fd(s.se);
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) return error = failed("fcntl"), nullptr;
    return session;
}

int FuseSession::fd() const { return fuse_session_fd(state_->se); }

bool FuseSession::serve() {
    State &s = *state_;
    while (!fuse_session_exited(s.se)) {
        int r = fuse_session_receive_buf(s.se, &s.buf);
        if (r == -EINTR) continue;
        if (r == -EAGAIN) return true;
        if (r <= 0) return false;
        fuse_session_process_buf(s.se, &s.buf);
    }
    return false;
}

std::unique_ptr<FuseDevice> FuseSession::add(const std::string &prefix, int number, const DeviceAccess &access,
                                             std::string &error) {
    State &s = *state_;
    std::string node = s.mount + "/rtf" + std::to_string(number);
    for (const auto &[ino, dev] : s.devices)
        if (dev->number() == number) return error = "the file " + node + " exists already", nullptr;
    auto dev = std::make_unique<FuseDevice>(prefix, number, node, s.dev, s.nextIno++, access);
    FuseDevice *d = dev.get();
    d->wrote = [&s, d] { s.serve_reads(*d); };
    // The kernel keeps a file's attributes: it must ask again before the
    // next open is checked. Nothing to do for a file it has not seen yet.
    d->accessChanged = [&s, d] { fuse_lowlevel_notify_inval_inode(s.se, d->ino(), -1, 0); };
    s.devices[d->ino()] = d;
    return dev;
}

void FuseSession::remove(FuseDevice &dev) { state_->forget(dev); }

#endif

}  // namespace norvd
