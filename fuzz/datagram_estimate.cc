// datagram_estimate.cc: the header logic of the timed socket without its
// system calls, so it runs many datagrams per input. A sequence of datagrams
// of 0 to 1500 bytes, each with a clock reading of its own, goes through
// screen_datagram and, when taken in, estimate_datagram, the same steps my_rcv
// takes. Between them the socket answers with write_timed_header, and the
// header it writes must come back through the decoder unchanged.
#include <fuzzer/FuzzedDataProvider.h>

#include "estimation.h"
#include "fuzz_support.h"
#include "norv.h"
#include "timed_socket_io.h"
#include "wire.h"

using namespace norv::fuzz;
namespace wire = norv::wire;
namespace header = norv::wire::header;
using norv::estimation::to_double;
using norv::estimation::to_u64;

namespace {

bool same(const PeerTiming &a, const PeerTiming &b) {
    return a.recvTime == b.recvTime && a.sendStamp == b.sendStamp &&
           a.delayError == b.delayError && a.delayEstimate == b.delayEstimate;
}

bool same_echo(const wire::PeerEcho &a, const wire::PeerEcho &b) {
    return a.age == b.age && a.sendStamp == b.sendStamp && a.delayEstimate == b.delayEstimate &&
           a.delayError == b.delayError;
}

// The send path's header from the table: empty slots as zeros, others as the
// slot seen from now.
void check_sent_header(const TimedSocket &s, const uint8_t *room, uint8_t kind,
                       uint64_t startStamp, int32_t registrationId, uint64_t now) {
    wire::TimedHeader h;
    FUZZ_CHECK(wire::decode_timed_header(room, header::kSize, &h));
    FUZZ_CHECK(h.senderId == s.localId && h.kind == kind);
    FUZZ_CHECK(h.sendStamp == now && h.elapsed == now - startStamp);
    FUZZ_CHECK(h.registrationId == registrationId);
    for (size_t i = 0; i < MAX_MACHINES; ++i) {
        const PeerTiming &p = s.peers[i];
        wire::PeerEcho want{};
        if (p.recvTime != 0) want = {now - p.recvTime, p.sendStamp, p.delayEstimate, p.delayError};
        FUZZ_CHECK(same_echo(h.echoes[i], want));
    }
    // Reserved bytes 2 and 3 are the caller's: the send does not write them.
    FUZZ_CHECK(room[2] == 0xEE && room[3] == 0xEE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);

    uint8_t rawId = in.ConsumeIntegral<uint8_t>();
    uint8_t localId = in.ConsumeBool() ? static_cast<uint8_t>(rawId % MAX_MACHINES) : rawId;

    Guarded<TimedSocket> guarded;
    TimedSocket &s = guarded.value;
    std::memset(&s, 0, sizeof s);
    init_session(&s, localId);
    s.requestFd = -1;
    s.udpSocket = -1;
    for (PeerTiming &p : s.peers) {
        if (in.ConsumeBool()) continue;
        p.recvTime = in.ConsumeIntegral<uint64_t>();
        p.sendStamp = in.ConsumeIntegral<uint64_t>();
        p.delayError = in.ConsumeIntegral<uint64_t>();
        p.delayEstimate = in.ConsumeIntegral<uint64_t>();
    }

    while (in.remaining_bytes() > 0) {
        uint64_t now = in.ConsumeIntegral<uint64_t>();
        if (in.ConsumeBool()) {
            // A send from this socket.
            uint8_t room[header::kSize];
            std::memset(room, 0xEE, sizeof room);
            uint8_t kind = in.ConsumeIntegral<uint8_t>();
            uint64_t startStamp = in.ConsumeIntegral<uint64_t>();
            int32_t registrationId = in.ConsumeIntegral<int32_t>();
            TimedSocket before;
            std::memcpy(&before, &s, sizeof s);
            norv::write_timed_header(s, room, kind, startStamp, registrationId, now);
            FUZZ_CHECK(std::memcmp(&before, &s, sizeof s) == 0);
            check_sent_header(s, room, kind, startStamp, registrationId, now);
            // What this socket sends, another one with the same table takes in
            // exactly when the sender id has a slot.
            wire::TimedHeader h;
            FUZZ_CHECK(norv::screen_datagram(room, sizeof room, &h) ==
                       (kind == 0 && s.localId < MAX_MACHINES));
            continue;
        }

        // A received datagram, exactly as long as the input says.
        Bytes d = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 1500));
        wire::TimedHeader h;
        bool taken = norv::screen_datagram(d.data(), d.size(), &h);
        FUZZ_CHECK(taken == (d.size() >= header::kSize && d[header::kKind] == 0 &&
                             d[header::kSenderId] < MAX_MACHINES));
        if (d.size() >= header::kSize) {
            // Decoding and encoding again gives the same bytes, reserved ones aside.
            wire::TimedHeader full;
            FUZZ_CHECK(wire::decode_timed_header(d.data(), d.size(), &full));
            uint8_t again[header::kSize];
            std::memcpy(again, d.data(), 4);
            wire::encode_timed_header(full, again);
            FUZZ_CHECK(std::memcmp(again, d.data(), header::kSize) == 0);
        }
        if (!taken) continue;

        TimedSocket before;
        std::memcpy(&before, &s, sizeof s);
        uint64_t estimate = 0, error = 0;
        norv::estimate_datagram(s, h, now, &estimate, &error);
        FUZZ_CHECK(guarded.intact());
        FUZZ_CHECK(s.localId == before.localId && s.requestFd == before.requestFd &&
                   s.udpSocket == before.udpSocket && s.serverId == before.serverId);

        wire::PeerEcho echo{};
        if (s.localId < MAX_MACHINES) echo = h.echoes[s.localId];
        for (size_t i = 0; i < MAX_MACHINES; ++i) {
            if (i == h.senderId || same(s.peers[i], before.peers[i])) continue;
            FUZZ_CHECK(!"only the sender's slot may change");
        }
        const PeerTiming &slot = s.peers[h.senderId];
        const PeerTiming &old = before.peers[h.senderId];
        if (!same(slot, old)) {
            FUZZ_CHECK(slot.recvTime == now && slot.sendStamp == h.sendStamp);
        }
        // An empty slot always takes the datagram as its first reference.
        if (old.recvTime == 0) FUZZ_CHECK(slot.recvTime == now && slot.sendStamp == h.sendStamp);

        if (echo.sendStamp == 0) {
            FUZZ_CHECK(estimate == 0 && error == UINT64_MAX);
            if (!same(slot, old)) FUZZ_CHECK(slot.delayEstimate == 0 && slot.delayError == UNKNOWN_DELAY_ERROR);
        } else {
            // The bound of this datagram: estimate - elapsed +- its error, an
            // interval that never reaches below zero. A new reference stores it.
            if (!same(slot, old)) {
                FUZZ_CHECK(slot.delayEstimate >= slot.delayError);
                FUZZ_CHECK(estimate == slot.delayEstimate + h.elapsed);
                // Drift only widens it (up to the rounding of the conversion).
                FUZZ_CHECK(error >= to_u64(to_double(slot.delayError)));
            }
        }
    }
    FUZZ_CHECK(guarded.intact());
    return 0;
}
