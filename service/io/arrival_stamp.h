// arrival_stamp.h: datagrams with the kernel's stamp of their arrival.
//
// A receipt counts in a verdict when it reached norvd by the deadline plus
// the grace; "reached" is the moment the peer's message arrived on this
// machine, not the moment a busy norvd got round to reading it.
#ifndef NORVD_ARRIVAL_STAMP_H
#define NORVD_ARRIVAL_STAMP_H

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/times.h"

namespace norvd {

// Asks the kernel to stamp every datagram that arrives on fd. False (errno
// set) when it will not.
bool stamp_arrivals(int fd);

// recvfrom on fd; arrival receives the kernel's stamp, on the common clock
// (CLOCK_REALTIME), or nothing when the datagram came without one.
ssize_t recv_stamped(int fd, void *buf, size_t len, sockaddr_in &from, std::optional<CommonTime> &arrival);

}  // namespace norvd

#endif  // NORVD_ARRIVAL_STAMP_H
