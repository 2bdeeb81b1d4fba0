// fuse_session.h: norvd's FUSE file system of devices.
//
// A mount whose root holds the files "rtfN" of the devices (io/fuse_device.h),
// served through libfuse3's low-level interface on the thread that calls
// serve(): no thread of libfuse's own. The kernel checks each open against
// the file's owner, gid and mode (default_permissions); a file is one byte
// stream shared by every client that opens it, as a pty is. A blocking read
// of an empty file waits until norvd writes there (or the read is
// interrupted: EINTR); a read from an O_NONBLOCK open gets EAGAIN; poll tells
// when bytes come. Clients still holding a file that was removed read end of
// file, and their writes fail with EIO.
//
// The thread that serves the file system must never open, read or stat one
// of its files: the request would wait for that very thread.
#ifndef NORVD_FUSE_SESSION_H
#define NORVD_FUSE_SESSION_H

#include <functional>
#include <memory>
#include <string>

#include "io/fuse_device.h"

namespace norvd {

class FuseSession {
public:
    // What the clients' requests tell, from serve(). Each may remove the
    // device it is given.
    struct Hooks {
        // A client wrote to `dev`, or its last client went.
        std::function<void(FuseDevice &dev)> input;
        // A client that opened `dev` for writing closed it.
        std::function<void(FuseDevice &dev)> closed;
    };

    // Whether this norvd was built with libfuse3.
    static bool available();

    // Mounts the file system on the folder `dir`, which must exist, and
    // makes its descriptor non-blocking. nullptr with the failure in `error`.
    static std::unique_ptr<FuseSession> mount(const std::string &dir, Hooks hooks, std::string &error);
    // Unmounts the file system.
    ~FuseSession();
    FuseSession(const FuseSession &) = delete;
    FuseSession &operator=(const FuseSession &) = delete;

    // Readable while requests wait.
    int fd() const;
    // Serves every request waiting. False once the file system has been
    // unmounted (by someone else): no client can reach a file any more.
    bool serve();

    // Device "<prefix><number>", whose file "rtf<number>" is there from now
    // on with that access; nullptr with the failure in `error` when there is
    // one of that name already.
    std::unique_ptr<FuseDevice> add(const std::string &prefix, int number, const DeviceAccess &access,
                                    std::string &error);
    // Removes the device's file: no request names it any more.
    void remove(FuseDevice &dev);

    struct State;  // libfuse's side

private:
    FuseSession();
    std::unique_ptr<State> state_;
};

}  // namespace norvd

#endif  // NORVD_FUSE_SESSION_H
