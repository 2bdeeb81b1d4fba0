// channel_io.h: the exchange rule of the control channel, shared by every
// operation that talks to the service. Internal to the library.
#ifndef NORV_CHANNEL_IO_H
#define NORV_CHANNEL_IO_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "wire.h"

namespace norv {

// Reads exactly len bytes into buf, going on after a short read (a byte-stream
// device may hand over a record in pieces). Returns 0, or -1 on end of file or
// a failed read (errno as the read left it).
int read_full(int fd, uint8_t *buf, size_t len);

// One exchange of command `command` (a number of the command table, wire.h)
// on a request FIFO. request holds the command's request_size() bytes,
// zero-filled by the caller except for the payload; the head is written here.
// The whole request goes out in one write call; then, when the command has a
// reply, its reply_size() bytes are read whole into reply. Returns 0, or -1
// when the write or the read fails. Callers go through Exchange below, whose
// buffers are of the command's sizes.
int exchange(int fd, uint8_t *request, int32_t command, uint8_t *reply);

// One exchange of command C with its buffers sized by the command table, so
// that a request and its reply can only be of C's sizes: fill the payload,
// run it, read the reply.
template <int32_t C>
struct Exchange {
    std::array<uint8_t, wire::request_size(C)> request{};
    std::array<uint8_t, wire::reply_size(C)> reply;

    uint8_t *payload() { return request.data() + wire::request::kHeadSize; }
    int run(int fd) { return exchange(fd, request.data(), C, reply.data()); }
};

// openNORVConnection with another device prefix than "/dev/rtf": the
// registration device is prefix + "1", the channel devices prefix + N and
// prefix + (N + 3). Lets tests serve the devices from a private directory.
int open_connection_at(const char *prefix, int *requestFd, int *noticeFd);

}  // namespace norv

#endif  // NORV_CHANNEL_IO_H
