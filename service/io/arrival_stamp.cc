// arrival_stamp.cc: SO_TIMESTAMPNS on the peer socket.
#include "io/arrival_stamp.h"

#include <sys/socket.h>
#include <time.h>

#include <cstring>

namespace norvd {

bool stamp_arrivals(int fd) {
    int on = 1;
    return setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

ssize_t recv_stamped(int fd, void *buf, size_t len, sockaddr_in &from, std::optional<CommonTime> &arrival) {
    iovec iov{buf, len};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    arrival.reset();
    ssize_t got = recvmsg(fd, &msg, 0);
    if (got < 0) return got;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        arrival = CommonTime(static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec));
    }
    return got;
}

}  // namespace norvd
