// connection.h: NORVpong's connection to the local NORV service together with
// its timed socket. Both are opened and bound in one step and let go of in one
// step: told to the service on a clean stop, simply closed when the service
// has gone (nothing could carry the goodbye).
#ifndef NORVPONG_CONNECTION_H
#define NORVPONG_CONNECTION_H

#include <netinet/in.h>

#include <string>

#include "norv.h"

namespace norvpong {

class Connection {
public:
    Connection() { socket_.udpSocket = -1; }
    ~Connection() { drop(); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Connects to the service, creates the timed socket and binds it to
    // `local`. Returns false, holding nothing, with the failure in `error`:
    // "<call> failed: <system text>", or the service's refusal.
    bool open(const sockaddr_in &local, std::string &error);

    // Tells the service the socket and the connection close, then closes
    // every descriptor.
    void close();

    // Closes every descriptor without a word to the service.
    void drop();

    // One clock read on the channel: false when the service does not answer it.
    bool clock_works();

    int request_fd() const { return requestFd_; }
    TimedSocket &socket() { return socket_; }

private:
    int requestFd_ = -1;
    int noticeFd_ = -1;
    TimedSocket socket_{};  // udpSocket -1: no socket
};

}  // namespace norvpong

#endif  // NORVPONG_CONNECTION_H
