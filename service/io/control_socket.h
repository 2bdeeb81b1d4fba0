// control_socket.h: the UNIX stream socket on which norvd responds to norvctl.
//
// Served from norvd's event loop, which it must never hold up: the socket
// and every client are non-blocking; a client gets one request line of at
// most kControlRequestLimit bytes (control_protocol.h), its response, and the
// end of its connection. A client that sends nothing, or too slowly, or
// does not read its response, is cut off kClientTimeoutNs after it connected;
// at most kMaxClients are served at once, and one more is told so and cut off
// at once. Only root and the members of norvd's access group may connect:
// the socket is root's, mode 0660, with the access group's gid.
#ifndef NORVD_CONTROL_SOCKET_H
#define NORVD_CONTROL_SOCKET_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/control_protocol.h"
#include "core/times.h"
#include "fd.h"
#include "loop/event_loop.h"

namespace norvd {

using norv::Fd;

class ControlSocket {
public:
    static constexpr size_t kMaxClients = 8;
    static constexpr uint64_t kClientTimeoutNs = 5'000'000'000;
    // Connections taken at one event: a flood of connects leaves the loop to
    // its other work between rounds (the rest wait in the backlog).
    static constexpr int kAcceptsPerEvent = 16;

    // The whole response to a request line of a client of user `uid`.
    using Responder = std::function<std::string(std::string_view request, uid_t uid)>;

    // Binds `path` (root's, gid `gid`, mode 0660) and watches it, and then
    // its clients, in `loop`, which must outlive it. A socket left at `path`
    // by a norvd that has gone is replaced; one that a live server accepts
    // connections on, or a file that is no socket, is not: then nothing is
    // returned and `why` says so.
    static std::unique_ptr<ControlSocket> open(const std::string &path, gid_t gid, EventLoop &loop,
                                               Responder responder, std::string &why);
    // Closes every client and removes the socket, if it is still ours.
    ~ControlSocket();

    // When the next client times out; expire() cuts off those whose time is up.
    std::optional<BaseTime> next_due() const;
    void expire(BaseTime now);

    size_t clients() const { return clients_.size(); }
    const std::string &path() const { return path_; }

    // Requests responded to, clients turned away (too many), cut off (timed
    // out).
    struct Counters {
        uint64_t responded = 0, busy = 0, timedOut = 0;
    };
    const Counters &counters() const { return counters_; }

private:
    struct Client {
        Fd fd;
        BaseTime deadline;
        uid_t uid = static_cast<uid_t>(-1);  // its user, as the kernel tells (SO_PEERCRED)
        ControlRequestReader reader;
        std::string out;  // the response not yet written
        size_t sent = 0;
    };

    ControlSocket(Fd listen, std::string path, EventLoop &loop, Responder responder, dev_t dev, ino_t ino);
    void accept_clients(BaseTime now);
    void on_client(Client &c, uint32_t events);
    // Responds once the request is whole; false when the client is done with.
    bool respond(Client &c);
    // Writes what is left of the response; false when all went or the client
    // is gone.
    bool write_out(Client &c);
    void drop(int fd);

    Fd listen_;
    std::string path_;
    EventLoop &loop_;
    Responder responder_;
    dev_t dev_;  // of the socket's file, to remove it only while it is ours
    ino_t ino_;
    std::map<int, Client> clients_;
    std::optional<BaseTime> paused_;  // accepting waits until then
    Counters counters_;
};

}  // namespace norvd

#endif  // NORVD_CONTROL_SOCKET_H
