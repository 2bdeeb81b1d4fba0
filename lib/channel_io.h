// channel_io.h: the exchange rule of the control channel, shared by every
// operation that talks to the service. Internal to the library.
#ifndef NORV_CHANNEL_IO_H
#define NORV_CHANNEL_IO_H

#include <cstddef>
#include <cstdint>

namespace norv {

// Reads exactly len bytes into buf, going on after a short read (a byte-stream
// device may hand over a record in pieces). Returns 0, or -1 on end of file or
// a failed read (errno as the read left it).
int read_full(int fd, uint8_t *buf, size_t len);

// One exchange on a request FIFO. request holds kHeadSize + payloadLen bytes,
// zero-filled by the caller except for the payload; the head is written here.
// The whole request goes out in one write call; then, when replyLen is not 0,
// the reply is read whole into reply. Returns 0, or -1 when the write or the
// read fails.
int exchange(int fd, uint8_t *request, int32_t command, size_t payloadLen, uint8_t *reply,
             size_t replyLen);

// openNORVConnection with another device prefix than "/dev/rtf": the
// registration device is prefix + "1", the channel devices prefix + N and
// prefix + (N + 3). Lets tests serve the devices from a private directory.
int open_connection_at(const char *prefix, int *requestFd, int *noticeFd);

}  // namespace norv

#endif  // NORV_CHANNEL_IO_H
