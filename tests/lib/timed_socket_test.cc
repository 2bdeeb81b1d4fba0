// timed_socket_test.cc: the timed socket over real loopback UDP,
// with a scripted peer on a socketpair() standing in for the service's
// request FIFO. Every test checks the exact bytes written to the service.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "fd.h"
#include "golden_header.h"
#include "norv.h"
#include "support/scripted_peer.h"
#include "wire.h"

namespace {

namespace golden = norv::test::golden;
using norv::test::Bytes;
using norv::test::cat;
using norv::test::head;
using norv::test::le32;
using norv::test::le64;
using norv::test::ScriptedPeer;
using norv::test::zeros;
using norv::Fd;
namespace header = norv::wire::header;

constexpr int kH = TIMED_HEADER_SIZE;

sockaddr_in loopback_any_port() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    return a;
}

sockaddr_in address_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return a;
}

const sockaddr *sa(const sockaddr_in &a) { return reinterpret_cast<const sockaddr *>(&a); }

// A plain UDP socket on 127.0.0.1, to inject raw datagrams and to look at
// exactly what a timed send put on the wire.
struct RawUdp {
    Fd fd{socket(AF_INET, SOCK_DGRAM, 0)};
    sockaddr_in addr;
    RawUdp() {
        sockaddr_in a = loopback_any_port();
        bind(fd.get(), sa(a), sizeof a);
        addr = address_of(fd.get());
    }
    void send(const Bytes &bytes, const sockaddr_in &to) const {
        ASSERT_EQ(sendto(fd.get(), bytes.data(), bytes.size(), 0, sa(to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }
    Bytes receive() const {
        Bytes b(65536);
        ssize_t n = recv(fd.get(), b.data(), b.size(), MSG_DONTWAIT);
        b.resize(n < 0 ? 0 : static_cast<size_t>(n));
        return b;
    }
};

bool readable(int fd) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval zero{0, 0};
    return select(fd + 1, &set, nullptr, nullptr, &zero) > 0;
}

// A timed socket made by NORVsocket with the given machine id and bound to
// 127.0.0.1 on a port of the system's choice.
struct Timed {
    ScriptedPeer service;
    TimedSocket s{};
    Fd udp;
    sockaddr_in addr{};
    explicit Timed(uint8_t id) {
        service.reply(le32(id));
        udp.reset(NORVsocket(AF_INET, &s, service.fd()));
        EXPECT_GE(udp.get(), 0);
        EXPECT_EQ(service.written(), head(3, 0));
        sockaddr_in a = loopback_any_port();
        EXPECT_EQ(NORVbind(sa(a), sizeof a, &s), 0);
        addr = address_of(udp.get());
    }
};

// A datagram of kind 0 whose header says it comes from sender with the
// given registration id and no echo, followed by payload.
Bytes datagram(uint8_t sender, int32_t registrationId, const Bytes &payload, uint8_t kind = 0) {
    Bytes b(kH, 0);
    b[header::kSenderId] = sender;
    b[header::kKind] = kind;
    norv::wire::put_u64le(b.data(), header::kSendStamp, 777);
    norv::wire::put_i32le(b.data(), header::kRegistrationId, registrationId);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes payload20() {
    Bytes p;
    for (int i = 0; i < 20; ++i) p.push_back(static_cast<uint8_t>(0xC0 + i));
    return p;
}

// What notify_norv_of_receipt writes.
Bytes receipt_request(int32_t registrationId, uint64_t now, uint8_t sender) {
    return cat({head(10, 16), le32(static_cast<uint32_t>(registrationId)), le64(now),
                Bytes{sender}, zeros(3)});
}

struct Received {
    int result;
    uint8_t buffer[kH + 64];
    sockaddr_in from;
    uint64_t receiptStamp = 0x1111, estimate = 0x2222, error = 0x3333;
};

Received receive(Timed &t, int capacity, uint8_t blocking, int flags = 0) {
    Received r;
    std::memset(r.buffer, 0x5C, sizeof r.buffer);
    std::memset(&r.from, 0, sizeof r.from);
    socklen_t fromLength = sizeof r.from;
    r.result = NORVrecvfrom(r.buffer, capacity, flags, reinterpret_cast<sockaddr *>(&r.from),
                            &fromLength, &t.s, &r.receiptStamp, &r.estimate, &r.error, blocking);
    return r;
}

bool same(const PeerTiming &a, const PeerTiming &b) {
    return a.recvTime == b.recvTime && a.sendStamp == b.sendStamp &&
           a.delayError == b.delayError && a.delayEstimate == b.delayEstimate;
}

constexpr PeerTiming kEmptySlot = {0, 0, UNKNOWN_DELAY_ERROR, 0};

bool table_is_empty(const TimedSocket &s) {
    for (const PeerTiming &p : s.peers)
        if (!same(p, kEmptySlot)) return false;
    return true;
}

// ---- NORVsocket ---------------------------------------------------------------

TEST(NORVsocket, AsksForTheIdAndResetsTheTable) {
    ScriptedPeer service;
    service.reply(le32(3));
    TimedSocket s;
    std::memset(&s, 0xAB, sizeof s);
    s.serverId = 55;
    Fd udp(NORVsocket(AF_INET, &s, service.fd()));
    ASSERT_GE(udp.get(), 0);
    EXPECT_EQ(service.written(), head(3, 0));
    EXPECT_EQ(s.udpSocket, udp.get());
    EXPECT_EQ(s.localId, 3);
    EXPECT_EQ(s.requestFd, service.fd());
    EXPECT_EQ(s.serverId, 55);
    EXPECT_TRUE(table_is_empty(s));
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(udp.get(), SOL_SOCKET, SO_BROADCAST, &on, &len), 0);
    EXPECT_NE(on, 0);
}

TEST(NORVsocket, RefusedOrOutOfRangeIdFailsWithoutErrnoAndLeavesTheTable) {
    for (int32_t id : {-1, -7, 5, 6, 255, 261}) {
        ScriptedPeer service;
        service.reply(le32(static_cast<uint32_t>(id)));
        TimedSocket s;
        std::memset(&s, 0xAB, sizeof s);
        TimedSocket before;
        std::memcpy(&before, &s, sizeof s);
        errno = 0;
        int r = NORVsocket(AF_INET, &s, service.fd());
        EXPECT_EQ(r, -1) << id;
        EXPECT_EQ(errno, 0) << id;  // the client reads 0 as "no access to the NORV"
        EXPECT_EQ(service.written(), head(3, 0));
        EXPECT_EQ(std::memcmp(s.peers, before.peers, sizeof s.peers), 0) << id;
        EXPECT_EQ(s.localId, before.localId);
        EXPECT_EQ(s.requestFd, before.requestFd);
        EXPECT_EQ(s.serverId, before.serverId);
        EXPECT_GE(s.udpSocket, 0);  // created and stored before the id was asked
        close(s.udpSocket);
    }
}

TEST(NORVsocket, SocketCreationFailureSetsUdpSocketAndErrnoOnly) {
    ScriptedPeer service;
    TimedSocket s;
    std::memset(&s, 0xAB, sizeof s);
    TimedSocket before;
    std::memcpy(&before, &s, sizeof s);
    errno = 0;
    EXPECT_EQ(NORVsocket(-1, &s, service.fd()), -1);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(s.udpSocket, -1);
    EXPECT_EQ(std::memcmp(s.peers, before.peers, sizeof s.peers), 0);
    EXPECT_EQ(s.localId, before.localId);
    EXPECT_EQ(s.requestFd, before.requestFd);
    EXPECT_TRUE(service.written().empty());
}

// ---- Plain send and receive ---------------------------------------------------------

TEST(TimedSocket, TwentyBytePayloadSends204AndReceives20) {
    Timed a(1), b(3);
    Bytes payload = payload20();
    uint8_t buf[kH + 20];
    std::memcpy(buf + kH, payload.data(), 20);
    a.service.reply(le64(1000));
    // flags are accepted and not applied: MSG_OOB would fail on UDP.
    EXPECT_EQ(NORVsendto(buf, 20, MSG_OOB, sa(b.addr), sizeof b.addr, &a.s, 900), 204);
    EXPECT_EQ(a.service.written(), head(2, 0));  // one clock read, no registration

    b.service.reply(le64(50000));
    Received r = receive(b, 64, 0, MSG_OOB);
    EXPECT_EQ(r.result, 20);
    EXPECT_EQ(Bytes(r.buffer + kH, r.buffer + kH + 20), payload);
    EXPECT_EQ(r.buffer[kH + 20], 0x5C);  // nothing beyond the datagram
    EXPECT_EQ(b.service.written(), head(2, 0));  // no receipt notice for a plain send
    EXPECT_EQ(r.receiptStamp, 50000u);
    EXPECT_EQ(r.estimate, 0u);  // no echo yet: no bound
    EXPECT_EQ(r.error, UINT64_MAX);
    EXPECT_EQ(r.from.sin_port, a.addr.sin_port);
    EXPECT_TRUE(same(b.s.peers[1], PeerTiming{50000, 1000, UNKNOWN_DELAY_ERROR, 0}));

    // Nothing waits now: one poll, no service request, 0.
    Received idle = receive(b, 64, 0);
    EXPECT_EQ(idle.result, 0);
    EXPECT_TRUE(b.service.written().empty());
    EXPECT_EQ(idle.receiptStamp, 0x1111u);
}

TEST(TimedSocket, EchoesBoundTheDelayOverARealRoundTrip) {
    Timed a(1), b(3);
    uint8_t buf[kH + 4] = {};
    // A -> B at A's 1000; B takes it at its 50000 (first: reference, no bound).
    a.service.reply(le64(1000));
    ASSERT_EQ(NORVsendto(buf, 4, 0, sa(b.addr), sizeof b.addr, &a.s, 1000), kH + 4);
    b.service.reply(le64(50000));
    ASSERT_EQ(receive(b, 4, 1).result, 4);
    a.service.written();
    b.service.written();

    // B -> A at 50400: echo {age 400, 1000, 0, unknown}. A takes it at 1900:
    // T 900, M = (900.0045 - 399.998) / 2 -> 250; R >= 2^56, so (250, 250).
    b.service.reply(le64(50400));
    ASSERT_EQ(NORVsendto(buf, 4, 0, sa(a.addr), sizeof a.addr, &b.s, 50400), kH + 4);
    a.service.reply(le64(1900));
    Received r1 = receive(a, 4, 1);
    ASSERT_EQ(r1.result, 4);
    EXPECT_EQ(r1.estimate, 250u);
    EXPECT_EQ(r1.error, 250u);
    EXPECT_TRUE(same(a.s.peers[3], PeerTiming{1900, 50400, 250, 250}));

    // A -> B at 2000: echo {age 100, 50400, 250, 250}. B takes it at 50900:
    // T 500, M = (500.0025 - 99.9995) / 2 -> 200; D = 150 below R = 250: both
    // 200; R <= M: (200, 200). The unknown reference ages above 200: replaced.
    a.service.reply(le64(2000));
    ASSERT_EQ(NORVsendto(buf, 4, 0, sa(b.addr), sizeof b.addr, &a.s, 2000), kH + 4);
    b.service.reply(le64(50900));
    Received r2 = receive(b, 4, 1);
    ASSERT_EQ(r2.result, 4);
    EXPECT_EQ(r2.estimate, 200u);
    EXPECT_EQ(r2.error, 200u);
    EXPECT_TRUE(same(b.s.peers[1], PeerTiming{50900, 2000, 200, 200}));
}

// ---- Registered send: command 9 and the golden header ---------------------------------

ActivityNames names() {
    ActivityNames n;
    std::memset(&n, 0x77, sizeof n);  // bytes past a terminator must not travel
    std::memcpy(n.moduleName, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx", 50);
    std::strcpy(n.activityName, "ping");
    n.wcetName[0] = '\0';
    return n;
}

Bytes register_request() {
    ActivityNames n = names();
    Bytes module(n.moduleName, n.moduleName + 50);
    Bytes activity = cat({Bytes{'p', 'i', 'n', 'g'}, zeros(46)});
    return cat({head(9, 184), le64(golden::kStartStamp), le64(490), le64(2000000), Bytes{31},
                zeros(3), le32(NORV_PING_PORT), module, activity, zeros(50), zeros(2)});
}

TEST(TimedSocket, RegisteredSendWritesCommand9AndTheGoldenHeader) {
    Timed a(golden::kSenderId);
    golden::fill_sender(&a.s);  // resets requestFd with the table
    a.s.requestFd = a.service.fd();
    RawUdp wire;

    uint8_t buf[kH + 20];
    std::memset(buf, golden::kFill, kH);
    Bytes payload = payload20();
    std::memcpy(buf + kH, payload.data(), 20);
    a.service.reply(cat({le32(golden::kRegistrationId), le64(golden::kNow)}));
    int r = NORVsendtoWFD(buf, 20, 0, sa(wire.addr), sizeof wire.addr, 31, NORV_PING_PORT, &a.s,
                          golden::kStartStamp, 490, 2000000, names());
    EXPECT_EQ(r, 204);
    // Registration first, then the clock read of the send.
    EXPECT_EQ(a.service.written(), cat({register_request(), head(2, 0)}));
    Bytes expected = cat({Bytes(golden::kHeader, golden::kHeader + kH), payload});
    EXPECT_EQ(wire.receive(), expected);
    EXPECT_EQ(Bytes(buf, buf + sizeof buf), expected);  // written in place
}

TEST(TimedSocket, RefusedRegistrationIsReturnedAndNothingIsSent) {
    for (int32_t refusal : {-1, NORV_REFUSED_TABLE_FULL, NORV_REFUSED_NO_RECEIVER, INT32_MIN}) {
        Timed a(1);
        RawUdp wire;
        uint8_t buf[kH + 20];
        std::memset(buf, 0x42, sizeof buf);
        a.service.reply(le32(static_cast<uint32_t>(refusal)));
        int r = NORVsendtoWFD(buf, 20, 0, sa(wire.addr), sizeof wire.addr, 31, NORV_PING_PORT, &a.s,
                              golden::kStartStamp, 490, 2000000, names());
        EXPECT_EQ(r, refusal);
        EXPECT_EQ(a.service.written(), register_request());  // no clock read
        EXPECT_FALSE(readable(wire.fd.get()));
        for (uint8_t byte : buf) EXPECT_EQ(byte, 0x42);  // header room untouched
    }
}

TEST(TimedSocket, FailedRegistrationExchangeReturnsMinusOne) {
    Timed a(1);
    RawUdp wire;
    uint8_t buf[kH] = {};
    a.service.hang_up();  // the reply read meets end of file
    EXPECT_EQ(NORVsendtoWFD(buf, 0, 0, sa(wire.addr), sizeof wire.addr, 31, NORV_PING_PORT, &a.s,
                            1, 490, 2000000, names()),
              -1);
    EXPECT_FALSE(readable(wire.fd.get()));
}

TEST(TimedSocket, FailedSendtoIsReturned) {
    Timed a(1);
    uint8_t buf[kH] = {};
    sockaddr_in bad{};  // family 0
    a.service.reply(le64(5));
    errno = 0;
    EXPECT_EQ(NORVsendto(buf, 0, 0, sa(bad), sizeof bad, &a.s, 1), -1);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(a.service.written(), head(2, 0));
}

// ---- Receive: notification, drops and skips -------------------------------------------

TEST(TimedSocket, GoldenRegisteredDatagramIsNotifiedAndEstimated) {
    Timed b(golden::kReceiverId);
    RawUdp peer;
    Bytes payload = payload20();
    peer.send(cat({Bytes(golden::kHeader, golden::kHeader + kH), payload}), b.addr);
    b.service.reply(cat({le64(golden::kReceiverNow), le32(0)}));
    Received r = receive(b, 20, 0);
    EXPECT_EQ(r.result, 20);
    EXPECT_EQ(b.service.written(),
              cat({head(2, 0), receipt_request(golden::kRegistrationId, golden::kReceiverNow,
                                               golden::kSenderId)}));
    EXPECT_EQ(r.receiptStamp, golden::kReceiverNow);
    EXPECT_EQ(r.estimate, golden::kEstimate);
    EXPECT_EQ(r.error, golden::kError);
    EXPECT_TRUE(same(b.s.peers[golden::kSenderId], golden::kReceiverSlotAfter));
    EXPECT_EQ(Bytes(r.buffer, r.buffer + kH), Bytes(golden::kHeader, golden::kHeader + kH));
    EXPECT_EQ(Bytes(r.buffer + kH, r.buffer + kH + 20), payload);
}

TEST(TimedSocket, RefusedNotificationDropsTheDatagram) {
    Timed b(0);
    RawUdp peer;
    peer.send(datagram(2, 99, payload20()), b.addr);
    b.service.reply(cat({le64(7000), le32(1)}));
    Received r = receive(b, 20, 0);
    EXPECT_EQ(r.result, 0);  // consumed, the poll then finds nothing
    EXPECT_EQ(b.service.written(), cat({head(2, 0), receipt_request(99, 7000, 2)}));
    EXPECT_EQ(r.estimate, 0x2222u);  // no estimation
    EXPECT_EQ(r.error, 0x3333u);
    EXPECT_TRUE(table_is_empty(b.s));
    EXPECT_FALSE(readable(b.udp.get()));
}

TEST(TimedSocket, DroppedDatagramIsFollowedByTheNextAcceptedOne) {
    Timed b(0);
    RawUdp peer;
    peer.send(datagram(2, 99, payload20()), b.addr);
    peer.send(datagram(3, 0, Bytes{1, 2, 3}), b.addr);
    b.service.reply(cat({le64(7000), le32(5), le64(7100)}));
    Received r = receive(b, 20, 1);
    EXPECT_EQ(r.result, 3);
    EXPECT_EQ(b.service.written(), cat({head(2, 0), receipt_request(99, 7000, 2), head(2, 0)}));
    EXPECT_EQ(r.receiptStamp, 7100u);
    EXPECT_TRUE(same(b.s.peers[2], kEmptySlot));
    EXPECT_TRUE(same(b.s.peers[3], PeerTiming{7100, 777, UNKNOWN_DELAY_ERROR, 0}));
}

TEST(TimedSocket, FailingChannelDropsRegisteredDatagramsAndStampsAllOnes) {
    // Writes to a hung-up peer fail (EPIPE) rather than end the test.
    struct sigaction ignore{}, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    Timed b(0);
    RawUdp peer;
    peer.send(datagram(2, 99, payload20()), b.addr);
    b.service.hang_up();
    Received r = receive(b, 20, 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.receiptStamp, UINT64_MAX);  // the clock read failed unnoticed
    EXPECT_TRUE(table_is_empty(b.s));
    sigaction(SIGPIPE, &old, nullptr);
}

// Datagrams that cannot be timed are consumed without a clock read or a
// notification and change nothing in the socket; a blocking receive goes on
// past them to the next datagram that can.
TEST(TimedSocket, DatagramsThatCannotBeTimedAreSkippedWithoutARequest) {
    struct Row {
        const char *what;
        std::vector<Bytes> datagrams;
    } rows[] = {
        {"other kinds", {datagram(2, 99, payload20(), 1), datagram(2, 0, payload20(), 255),
                         datagram(2, 0, payload20(), 7)}},
        {"senders outside the group", {datagram(5, 99, payload20()), datagram(200, 99, payload20())}},
        // Kind 0 and sender 0: each would pass if it were read as a header.
        {"shorter than a header", {Bytes(1, 0), Bytes(100, 0), Bytes(183, 0)}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Timed b(0);
        RawUdp peer;
        for (const Bytes &d : row.datagrams) peer.send(d, b.addr);
        TimedSocket before;
        std::memcpy(&before, &b.s, sizeof before);
        Received r = receive(b, 20, 0);
        EXPECT_EQ(r.result, 0);
        EXPECT_TRUE(b.service.written().empty());  // no clock read, no notification
        EXPECT_EQ(r.receiptStamp, 0x1111u);
        EXPECT_EQ(std::memcmp(&before, &b.s, sizeof before), 0);
        EXPECT_TRUE(table_is_empty(b.s));
        EXPECT_FALSE(readable(b.udp.get()));  // all consumed

        // The same in front of a good one, blocking.
        for (const Bytes &d : row.datagrams) peer.send(d, b.addr);
        peer.send(datagram(4, 0, Bytes{9, 9}), b.addr);
        b.service.reply(le64(123));
        r = receive(b, 20, 1);
        EXPECT_EQ(r.result, 2);
        EXPECT_EQ(b.service.written(), head(2, 0));
    }
}

TEST(TimedSocket, HeaderOnlyDatagramIsFullyProcessedAndGivesZero) {
    Timed b(0);
    RawUdp peer;
    peer.send(datagram(4, 31, Bytes{}), b.addr);
    b.service.reply(cat({le64(8000), le32(0)}));
    Received r = receive(b, 20, 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(b.service.written(), cat({head(2, 0), receipt_request(31, 8000, 4)}));
    EXPECT_EQ(r.receiptStamp, 8000u);
    EXPECT_EQ(r.estimate, 0u);
    EXPECT_EQ(r.error, UINT64_MAX);
    EXPECT_TRUE(same(b.s.peers[4], PeerTiming{8000, 777, UNKNOWN_DELAY_ERROR, 0}));
}

TEST(TimedSocket, EmptyDatagramReturnsZeroAndLeavesTheNextOneWaiting) {
    Timed b(0);
    RawUdp peer;
    peer.send(Bytes{}, b.addr);
    peer.send(datagram(1, 0, Bytes{5, 6, 7, 8}), b.addr);
    Received r = receive(b, 20, 1);
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(b.service.written().empty());
    EXPECT_TRUE(readable(b.udp.get()));
    b.service.reply(le64(10));
    EXPECT_EQ(receive(b, 20, 0).result, 4);
}

TEST(TimedSocket, LongDatagramIsTruncatedToCapacity) {
    Timed b(0);
    RawUdp peer;
    Bytes payload = payload20();
    peer.send(datagram(1, 0, payload), b.addr);
    b.service.reply(le64(10));
    Received r = receive(b, 10, 0);
    EXPECT_EQ(r.result, 10);
    EXPECT_EQ(Bytes(r.buffer + kH, r.buffer + kH + 10), Bytes(payload.begin(), payload.begin() + 10));
    for (size_t i = kH + 10; i < sizeof r.buffer; ++i) EXPECT_EQ(r.buffer[i], 0x5C) << i;
    EXPECT_FALSE(readable(b.udp.get()));  // the rest is gone with it
}

TEST(TimedSocket, FailedReceiveReturnsMinusOneAndTouchesNothing) {
    Timed b(0);
    TimedSocket s = b.s;
    s.udpSocket = -1;
    Received r;
    socklen_t fromLength = sizeof r.from;
    errno = 0;
    int result = NORVrecvfrom(r.buffer, 20, 0, reinterpret_cast<sockaddr *>(&r.from),
                              &fromLength, &s, &r.receiptStamp, &r.estimate, &r.error, 0);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(r.receiptStamp, 0x1111u);
    EXPECT_EQ(r.estimate, 0x2222u);
    EXPECT_EQ(r.error, 0x3333u);
    EXPECT_TRUE(b.service.written().empty());
}

// ---- NORVbindserver and NORVsocketClose -------------------------------------------

TEST(TimedSocket, BindServerRegistersThenBinds) {
    ScriptedPeer service;
    service.reply(le32(2));
    TimedSocket s{};
    Fd udp(NORVsocket(AF_INET, &s, service.fd()));
    service.written();
    sockaddr_in a = loopback_any_port();
    EXPECT_EQ(NORVbindserver(sa(a), sizeof a, 77, &s), 0);
    EXPECT_EQ(service.written(), cat({head(11, 4), le32(77)}));
    EXPECT_EQ(s.serverId, 77);
    EXPECT_NE(address_of(udp.get()).sin_port, 0);

    EXPECT_EQ(NORVsocketClose(&s), 12);
    EXPECT_EQ(service.written(), cat({head(12, 4), le32(77)}));
}

TEST(TimedSocket, BindServerOnAFailingChannelBindsNothing) {
    ScriptedPeer service;
    service.reply(le32(2));
    TimedSocket s{};
    Fd udp(NORVsocket(AF_INET, &s, service.fd()));
    service.written();
    s.serverId = -9;  // what the storage held before
    s.requestFd = -1;
    sockaddr_in a = loopback_any_port();
    EXPECT_EQ(NORVbindserver(sa(a), sizeof a, 77, &s), -1);
    EXPECT_EQ(s.serverId, -9);
    EXPECT_EQ(address_of(udp.get()).sin_port, 0);  // not bound
    EXPECT_EQ(NORVsocketClose(&s), -1);

    s.requestFd = service.fd();
    EXPECT_EQ(NORVsocketClose(&s), 12);
    EXPECT_EQ(service.written(), cat({head(12, 4), le32(static_cast<uint32_t>(-9))}));
}

TEST(TimedSocket, FreshDescriptorClosesWithServerIdZero) {
    ScriptedPeer service;
    service.reply(le32(0));
    static TimedSocket s;  // zero-initialised, as the client's socketDesc
    Fd udp(NORVsocket(AF_INET, &s, service.fd()));
    service.written();
    EXPECT_EQ(NORVsocketClose(&s), 12);
    EXPECT_EQ(service.written(), cat({head(12, 4), le32(0)}));
}

}  // namespace
