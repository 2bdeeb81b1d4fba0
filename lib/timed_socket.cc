// timed_socket.cc: the timed datagram socket: a UDP socket whose
// datagrams carry a 184-byte timing header in front of the payload, written
// in place into the caller's buffer on send and read from it on receipt.
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include "channel_io.h"
#include "norv.h"
#include "timed_socket_io.h"
#include "wire.h"

namespace norv {

using namespace wire;

namespace {

// Bytes of a whole datagram for a payload length. A negative length has no
// meaning here and counts as 0, so no datagram is ever cut into its header.
size_t datagram_size(int payloadLength) {
    return header::kSize + (payloadLength > 0 ? static_cast<size_t>(payloadLength) : 0);
}

// The poll of a non-blocking receive: false only when the poll says for sure
// that nothing waits; a failed poll lets the receive go on (and wait).
bool datagram_may_wait(int udp) {
    if (udp < 0) return true;  // the receive reports the bad descriptor
    if (udp >= FD_SETSIZE) {
        // select cannot hold such a descriptor; poll asks the same question.
        struct pollfd p = {udp, POLLIN, 0};
        return poll(&p, 1, 0) != 0;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(udp, &readable);
    struct timeval zero = {0, 0};
    return select(udp + 1, &readable, nullptr, nullptr, &zero) != 0;
}

// Writes a request of command 11 or 12, {command, 4, serverId}, in one write;
// its result is the write's, which NORVsocketClose returns.
static_assert(payload_size(command::kBindServer) == int_payload::kSize &&
              payload_size(command::kSocketClose) == int_payload::kSize &&
              reply_size(command::kBindServer) == 0 && reply_size(command::kSocketClose) == 0);
ssize_t write_server_request(int requestFd, int32_t command, int32_t serverId) {
    uint8_t request[request::kHeadSize + int_payload::kSize] = {};
    put_i32le(request, request::kCommand, command);
    put_i32le(request, request::kLength, static_cast<int32_t>(int_payload::kSize));
    put_i32le(request + request::kHeadSize, int_payload::kValue, serverId);
    return write(requestFd, request, sizeof request);
}

}  // namespace

void write_timed_header(const TimedSocket &socket, uint8_t *header, uint8_t kind,
                        uint64_t startStamp, int32_t registrationId, uint64_t now) {
    TimedHeader h{};
    h.senderId = socket.localId;
    h.kind = kind;
    h.sendStamp = now;
    h.elapsed = now - startStamp;  // wraps when startStamp lies after now
    for (size_t i = 0; i < MAX_MACHINES; ++i) {
        const PeerTiming &slot = socket.peers[i];
        // An empty slot goes out as 32 zero bytes, whatever else it holds:
        // a zero sendStamp tells the receiver there is no echo.
        if (slot.recvTime == 0) continue;
        h.echoes[i] = PeerEcho{now - slot.recvTime, slot.sendStamp, slot.delayEstimate,
                               slot.delayError};
    }
    h.registrationId = registrationId;
    encode_timed_header(h, header);
}

bool screen_datagram(const uint8_t *datagram, size_t len, TimedHeader *h) {
    // A datagram too short for a header carries no timing at all.
    if (!decode_timed_header(datagram, len, h)) return false;
    if (h->kind != 0) return false;
    // peers and echoes have slots for ids 0 .. 4 only.
    return h->senderId < MAX_MACHINES;
}

void estimate_datagram(TimedSocket &socket, const TimedHeader &h, uint64_t now,
                       uint64_t *estimate, uint64_t *errorBound) {
    // The echo addressed to this machine. NORVsocket never leaves a localId
    // outside 0 .. 4; a table set up otherwise reads as "no echo".
    PeerEcho echo{};
    if (socket.localId < MAX_MACHINES) echo = h.echoes[socket.localId];
    putReceiveInfo(&socket, now, echo.age, h.sendStamp, echo.sendStamp, h.senderId,
                   echo.delayEstimate, echo.delayError, h.elapsed, estimate, errorBound);
}

int my_send(TimedSocket *socket, int udp, void *buffer, int len, const struct sockaddr *to,
            socklen_t toLength, uint8_t kind, uint64_t startStamp, int32_t registrationId) {
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    // A clock that cannot be read gives all bits set, which goes out as is.
    uint64_t now = gettime(socket->requestFd);
    write_timed_header(*socket, bytes, kind, startStamp, registrationId, now);
    return static_cast<int>(sendto(udp, bytes, datagram_size(len), 0, to, toLength));
}

int my_rcv(TimedSocket *socket, int udp, void *buffer, int capacity, struct sockaddr *from,
           socklen_t *fromLength, uint64_t *estimate, uint64_t *errorBound, uint8_t blocking,
           uint64_t *receiptStamp) {
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    // recvfrom shrinks *fromLength to the address it stored; every datagram
    // of the loop gets the room the caller gave.
    socklen_t room = fromLength != nullptr ? *fromLength : 0;
    for (;;) {
        if (blocking == 0 && !datagram_may_wait(udp)) return 0;
        if (fromLength != nullptr) *fromLength = room;
        ssize_t r = recvfrom(udp, bytes, datagram_size(capacity), 0, from, fromLength);
        if (r <= 0) return static_cast<int>(r);

        TimedHeader h;
        if (!screen_datagram(bytes, static_cast<size_t>(r), &h)) continue;

        uint64_t now = gettime(socket->requestFd);
        *receiptStamp = now;
        // A refusal and a failed channel (-1) both drop the datagram.
        if (h.registrationId != 0 &&
            notify_norv_of_receipt(socket->requestFd, h.senderId, h.registrationId, now) != 0)
            continue;

        estimate_datagram(*socket, h, now, estimate, errorBound);
        return static_cast<int>(r - static_cast<ssize_t>(header::kSize));
    }
}

}  // namespace norv

using namespace norv;
using namespace norv::wire;

extern "C" {

int NORVsocket(int family, TimedSocket *socket, int requestFd) {
    int udp = ::socket(family, SOCK_DGRAM, 0);
    socket->udpSocket = udp;
    if (udp < 0) return -1;
    int on = 1;
    (void)setsockopt(udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    // A negative id is the service's (or the channel's) failure; an id of
    // MAX_MACHINES or more would index past peers and echoes. Either way the
    // table is left alone and no errno is set here.
    int id = getNORVid(requestFd);
    if (id < 0 || id >= MAX_MACHINES) return -1;
    init_session(socket, static_cast<uint8_t>(id));
    socket->requestFd = requestFd;
    return udp;
}

int NORVbind(const struct sockaddr *address, socklen_t addressLength, TimedSocket *socket) {
    return bind(socket->udpSocket, address, addressLength);
}

int NORVbindserver(const struct sockaddr *address, socklen_t addressLength, int32_t serverId,
                   TimedSocket *socket) {
    if (write_server_request(socket->requestFd, command::kBindServer, serverId) < 0) return -1;
    socket->serverId = serverId;
    return bind(socket->udpSocket, address, addressLength);
}

int NORVsendto(void *buffer, int len, int flags, const struct sockaddr *to, socklen_t toLength,
               TimedSocket *socket, uint64_t startStamp) {
    (void)flags;  // accepted, never applied
    return my_send(socket, socket->udpSocket, buffer, len, to, toLength, 0, startStamp, 0);
}

int NORVsendtoWFD(void *buffer, int len, int flags, const struct sockaddr *to,
                  socklen_t toLength, uint8_t value8, int32_t value32, TimedSocket *socket,
                  uint64_t startStamp, uint64_t first, uint64_t second, ActivityNames names) {
    (void)flags;
    Exchange<command::kRegisterSend> x;
    uint8_t *payload = x.payload();
    put_u64le(payload, register_send::kStartStamp, startStamp);
    put_u64le(payload, register_send::kFirst, first);
    put_u64le(payload, register_send::kSecond, second);
    put_u8(payload, register_send::kValue8, value8);
    put_i32le(payload, register_send::kValue32, value32);
    put_name(payload, register_send::kModuleName, names.moduleName, register_send::kNameWidth);
    put_name(payload, register_send::kActivityName, names.activityName,
             register_send::kNameWidth);
    put_name(payload, register_send::kWcetName, names.wcetName, register_send::kNameWidth);
    if (x.run(socket->requestFd) < 0) return -1;
    int32_t registrationId = get_i32le(x.reply.data(), kReplyAnswer);
    if (registrationId < 0) return registrationId;  // refused: nothing is sent
    return my_send(socket, socket->udpSocket, buffer, len, to, toLength, 0, startStamp,
                   registrationId);
}

int NORVrecvfrom(void *buffer, int len, int flags, struct sockaddr *from, socklen_t *fromLength,
                 TimedSocket *socket, uint64_t *receiptStamp, uint64_t *estimate,
                 uint64_t *errorBound, uint8_t blocking) {
    (void)flags;
    return my_rcv(socket, socket->udpSocket, buffer, len, from, fromLength, estimate, errorBound,
                  blocking, receiptStamp);
}

int NORVsocketClose(TimedSocket *socket) {
    // The callers end the process right after; the UDP socket goes with it.
    return static_cast<int>(
        write_server_request(socket->requestFd, command::kSocketClose, socket->serverId));
}

}  // extern "C"
