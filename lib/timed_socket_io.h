// timed_socket_io.h: the send and receive paths of the timed socket .
// Internal to the library.
//
// The header logic is split from the I/O: my_send and my_rcv do the system
// calls and the service requests, and call the three functions below for
// everything they do to a header. Tests and simulations call the same three
// with a clock reading of their own.
#ifndef NORV_TIMED_SOCKET_IO_H
#define NORV_TIMED_SOCKET_IO_H

#include <cstdint>
#include <sys/socket.h>

#include "norv.h"
#include "wire.h"

namespace norv {

// Writes the timed header of a send into the 184 bytes of room at header,
// with now as the clock read of the send. Reads the socket's peers and
// localId; changes nothing in the socket.
void write_timed_header(const TimedSocket &socket, uint8_t *header, uint8_t kind,
                        uint64_t startStamp, int32_t registrationId, uint64_t now);

// Decodes a received datagram of len bytes into h and says whether it is one
// to take in. Datagrams shorter than the header, of a kind other than 0, or from a
// sender id outside 0 .. MAX_MACHINES - 1 are skipped: no clock read, no
// notification. (An empty datagram never gets here: my_rcv returns 0 for it.)
bool screen_datagram(const uint8_t *datagram, size_t len, wire::TimedHeader *h);

// Bounds the one-way delay of an accepted datagram whose header is h,
// received at now. Feeds putReceiveInfo with the echo addressed to this
// machine.
void estimate_datagram(TimedSocket &socket, const wire::TimedHeader &h, uint64_t now,
                       uint64_t *estimate, uint64_t *errorBound);

// The send path of NORVsendto and NORVsendtoWFD: one clock read, the header
// written in place in front of the len payload bytes, one sendto of both.
// Returns the result of sendto (len + 184, or -1).
int my_send(TimedSocket *socket, int udp, void *buffer, int len, const struct sockaddr *to,
            socklen_t toLength, uint8_t kind, uint64_t startStamp, int32_t registrationId);

// The receive path of NORVrecvfrom: loops until a datagram is accepted (its
// payload length is returned), nothing waits with blocking 0 (0), an empty
// datagram comes (0) or the receive fails (-1).
int my_rcv(TimedSocket *socket, int udp, void *buffer, int capacity, struct sockaddr *from,
           socklen_t *fromLength, uint64_t *estimate, uint64_t *errorBound, uint8_t blocking,
           uint64_t *receiptStamp);

}  // namespace norv

#endif  // NORV_TIMED_SOCKET_IO_H
