// receive_path.cc: hostile datagrams into a timed socket through the whole
// receive path (NORVrecvfrom and my_rcv with its poll, recvfrom, clock read
// and receipt notification). A datagram socketpair stands in for the UDP
// socket and a stream socketpair for the request FIFO; the input chooses the
// local machine id (the ids the service hands out, 0 .. 4, or any byte), the
// peer timing table, the payload capacity, blocking or not, the service's
// replies and up to eight datagrams of 0 to 1500 bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <netinet/in.h>
#include <poll.h>

#include "fuzz_support.h"
#include "norv.h"
#include "wire.h"

using namespace norv::fuzz;
namespace wire = norv::wire;
namespace header = norv::wire::header;

namespace {

constexpr size_t kMaxDatagrams = 8;  // below the kernel's queue of ten
constexpr uint64_t kSentinel = 0x5E5E5E5E5E5E5E5Eull;

bool readable(int fd) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

bool same(const PeerTiming &a, const PeerTiming &b) {
    return a.recvTime == b.recvTime && a.sendStamp == b.sendStamp &&
           a.delayError == b.delayError && a.delayEstimate == b.delayEstimate;
}

PeerTiming consume_slot(FuzzedDataProvider &in) {
    if (in.ConsumeBool()) return PeerTiming{0, 0, UNKNOWN_DELAY_ERROR, 0};
    PeerTiming p;
    p.recvTime = in.ConsumeIntegral<uint64_t>();
    p.sendStamp = in.ConsumeIntegral<uint64_t>();
    p.delayError = in.ConsumeIntegral<uint64_t>();
    p.delayEstimate = in.ConsumeIntegral<uint64_t>();
    return p;
}

// A reference that the estimation stores is either one without a bound
// (estimate 0, error unknown) or an interval that does not reach below zero.
bool plausible_reference(const PeerTiming &p) {
    return (p.delayEstimate == 0 && p.delayError == UNKNOWN_DELAY_ERROR) ||
           p.delayEstimate >= p.delayError;
}

// Every request the receive path writes is a clock read (command 2) or, right
// behind one, a receipt notification (command 10) for a sender 0 .. 4 and a
// registration id other than 0.
void check_requests(const Bytes &w) {
    size_t at = 0;
    bool afterClock = false;
    while (at < w.size()) {
        FUZZ_CHECK(w.size() - at >= wire::request::kHeadSize);
        int32_t command = wire::get_i32le(w.data(), at + wire::request::kCommand);
        int32_t length = wire::get_i32le(w.data(), at + wire::request::kLength);
        if (command == wire::command::kTimestamp) {
            FUZZ_CHECK(length == 0);
            at += wire::request::kHeadSize;
            afterClock = true;
            continue;
        }
        FUZZ_CHECK(command == wire::command::kReceipt && afterClock);
        FUZZ_CHECK(length == static_cast<int32_t>(wire::receipt::kSize));
        FUZZ_CHECK(w.size() - at >= wire::request::kHeadSize + wire::receipt::kSize);
        const uint8_t *p = w.data() + at + wire::request::kHeadSize;
        FUZZ_CHECK(wire::get_i32le(p, wire::receipt::kRegistrationId) != 0);
        FUZZ_CHECK(wire::get_u8(p, wire::receipt::kSender) < MAX_MACHINES);
        at += wire::request::kHeadSize + wire::receipt::kSize;
        afterClock = false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);

    uint8_t rawId = in.ConsumeIntegral<uint8_t>();
    // NORVsocket only ever stores 0 .. 4; any other byte tries the defences.
    uint8_t localId = in.ConsumeBool() ? static_cast<uint8_t>(rawId % MAX_MACHINES) : rawId;
    int capacity = in.ConsumeIntegralInRange<int>(-2, 1400);
    uint8_t blocking = in.ConsumeBool() ? 1 : 0;

    Guarded<TimedSocket> guarded;
    TimedSocket &s = guarded.value;
    std::memset(&s, 0, sizeof s);
    for (PeerTiming &p : s.peers) p = consume_slot(in);
    s.localId = localId;
    s.serverId = in.ConsumeIntegral<int32_t>();

    Bytes replies = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 128));
    ScriptedPeer service;
    play_back_then_hang_up(service, replies);
    ScriptedPeer udp(SOCK_DGRAM);
    FUZZ_CHECK(udp.ok());
    s.requestFd = service.fd();
    s.udpSocket = udp.fd();

    size_t queued = 0;
    while (in.remaining_bytes() > 0 && queued < kMaxDatagrams - 1) {
        Bytes d = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 1500));
        if (send(udp.peer_fd(), d.data(), d.size(), MSG_DONTWAIT) < 0) break;
        ++queued;
    }
    // A blocking receive must find an end: an empty datagram returns 0.
    if (blocking != 0 && send(udp.peer_fd(), "", 0, MSG_DONTWAIT) < 0) blocking = 0;

    const size_t room = static_cast<size_t>(capacity > 0 ? capacity : 0) + TIMED_HEADER_SIZE;
    // Exactly the caller's room on the heap, so AddressSanitizer sees any byte past it.
    Bytes buffer(room, 0xEE);

    for (size_t call = 0; call <= kMaxDatagrams && readable(udp.fd()); ++call) {
        TimedSocket before;
        std::memcpy(&before, &s, sizeof s);
        Guarded<struct sockaddr_in6> from;
        socklen_t fromLength = sizeof from.value;
        uint64_t receipt = kSentinel, estimate = kSentinel, error = kSentinel;

        int r = NORVrecvfrom(buffer.data(), capacity, 0,
                             reinterpret_cast<struct sockaddr *>(&from.value), &fromLength, &s,
                             &receipt, &estimate, &error, blocking);

        FUZZ_CHECK(guarded.intact());
        FUZZ_CHECK(from.intact());
        FUZZ_CHECK(fromLength <= sizeof from.value);
        FUZZ_CHECK(r >= 0);  // the receive itself never fails here
        FUZZ_CHECK(r <= (capacity > 0 ? capacity : 0));
        FUZZ_CHECK(s.localId == before.localId && s.requestFd == before.requestFd &&
                   s.udpSocket == before.udpSocket && s.serverId == before.serverId);

        bool accepted = estimate != kSentinel || error != kSentinel;
        size_t changed = 0;
        for (size_t i = 0; i < MAX_MACHINES; ++i) {
            if (same(s.peers[i], before.peers[i])) continue;
            ++changed;
            FUZZ_CHECK(accepted);
            FUZZ_CHECK(i == buffer[header::kSenderId]);
            FUZZ_CHECK(s.peers[i].recvTime == receipt);
            FUZZ_CHECK(plausible_reference(s.peers[i]));
        }
        FUZZ_CHECK(changed <= 1);
        if (r > 0) FUZZ_CHECK(accepted);
        if (!accepted) continue;

        // An accepted datagram: a whole header of kind 0 from a machine with a slot.
        wire::TimedHeader h;
        FUZZ_CHECK(wire::decode_timed_header(buffer.data(), buffer.size(), &h));
        FUZZ_CHECK(h.kind == 0 && h.senderId < MAX_MACHINES);
        wire::PeerEcho echo{};
        if (s.localId < MAX_MACHINES) echo = h.echoes[s.localId];
        if (echo.sendStamp == 0) {
            // The sender holds nothing of ours: no bound at all.
            FUZZ_CHECK(estimate == 0 && error == UINT64_MAX);
        }
    }
    check_requests(service.written());
    return 0;
}
