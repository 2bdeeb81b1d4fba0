// connection.cc: opening, closing and dropping NORVpong's connection.
#include "connection.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace norvpong {

namespace {

// "<call> failed: <system text>". The library sets no errno of its own: a
// failure with errno still 0 is an exchange the service left unanswered
// (end of file on its device) or an answer out of range.
std::string failure(const char *call) {
    return std::string(call) + " failed: " +
           (errno != 0 ? std::strerror(errno) : "no valid answer from the service");
}

}  // namespace

bool Connection::open(const sockaddr_in &local, std::string &error) {
    drop();
    errno = 0;
    int rc = openNORVConnection(&requestFd_, &noticeFd_);
    if (rc != 0) {
        requestFd_ = noticeFd_ = -1;
        error = rc == -1 ? failure("openNORVConnection")
                         : "the NORV service refused the connection (" + std::to_string(rc) + ")";
        return false;
    }
    errno = 0;
    if (NORVsocket(AF_INET, &socket_, requestFd_) < 0) {
        error = failure("NORVsocket");
        drop();
        return false;
    }
    if (NORVbind(reinterpret_cast<const sockaddr *>(&local), sizeof local, &socket_) < 0) {
        error = failure("NORVbind");
        drop();
        return false;
    }
    return true;
}

void Connection::close() {
    if (requestFd_ >= 0) {
        if (socket_.udpSocket >= 0) NORVsocketClose(&socket_);
        // closeNORVConnection closes nothing when its request cannot be
        // written; drop closes whatever is still open.
        if (closeNORVConnection(requestFd_, noticeFd_) == 0) requestFd_ = noticeFd_ = -1;
    }
    drop();
}

void Connection::drop() {
    for (int *fd : {&socket_.udpSocket, &requestFd_, &noticeFd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

bool Connection::clock_works() {
    // The service's clock stays below 2^63; a failed exchange gives all bits set.
    return requestFd_ >= 0 && getNORVTimestamp(requestFd_) >> 63 == 0;
}

}  // namespace norvpong
