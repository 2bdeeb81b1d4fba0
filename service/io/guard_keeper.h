// guard_keeper.h: the process that keeps norvd's ptys from becoming anyone's
// controlling terminal.
//
// A client that is a session leader without a controlling terminal (a daemon,
// anything started with setsid) takes a pty as its controlling terminal when
// it opens it without O_NOCTTY, and is sent SIGHUP when norvd closes the
// master. A pty that already is the controlling terminal of another session
// is never taken: so each pty gets a guard, a process whose session has the
// pty as its controlling terminal. The guard holds no descriptor of the pty
// (a client's last close must still hang up the master) and dies of the
// SIGHUP that the master's close sends it.
//
// Forking a guard costs time that grows with the size of the forking process,
// so norvd never forks in its event loop: the keeper, a small process forked
// once at start, forks the guards. norvd hands it a slave descriptor with a
// token and reads back the token once the guard holds the pty; the client
// whose connection waits for that guard is the only one that waits.
#ifndef NORVD_GUARD_KEEPER_H
#define NORVD_GUARD_KEEPER_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "fd.h"

namespace norvd {

using norv::Fd;

class GuardKeeper {
public:
    // Forks the keeper. Call it early, while norvd is small. Returns nullptr
    // with the failure in `error`.
    static std::unique_ptr<GuardKeeper> start(std::string &error);

    // Ends the keeper; its guards die with it.
    ~GuardKeeper();
    GuardKeeper(const GuardKeeper &) = delete;
    GuardKeeper &operator=(const GuardKeeper &) = delete;

    // Asks for a guard of the pty whose slave `slave` is (the keeper gets a
    // copy; the caller closes its own). Never blocks. Returns false when the
    // keeper cannot be reached.
    bool request(uint32_t token, int slave);

    // A finished request: the token, and 0 or the errno of the guard's failed
    // step. Returns false when none is waiting (or the keeper has gone: then
    // gone() is true).
    bool take_status(uint32_t &token, int &status);

    // Waits for the status of the guard of `token` (at start, before the
    // loop runs).
    bool wait_for(uint32_t token, int &status);

    int fd() const { return socket_.get(); }
    pid_t pid() const { return pid_; }
    bool gone() const { return gone_; }

private:
    GuardKeeper() = default;

    Fd socket_;
    pid_t pid_ = -1;
    bool gone_ = false;
};

}  // namespace norvd

#endif  // NORVD_GUARD_KEEPER_H
