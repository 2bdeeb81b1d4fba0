// peer_wire.h: the messages that the norvd of the machines of one group send
// each other over UDP port 16007.
//
// There are two kinds: a receipt, sent by the norvd of the machine that
// received a registered datagram to the norvd of the machine that registered
// it, so that the latter can judge the send; and a probe, a request or its
// answer, by which a norvd learns every second that a peer is alive and how
// far its common clock stands from its own (four timestamps: the request's
// sending, its arrival, the answer's sending, its arrival). Every message
// starts with a magic number and a version, and anything that does not decode
// exactly is ignored: a norvd that knows only receipts drops probes as
// malformed and keeps working.
//
// Version 1 is trusted for its source address alone. Version 2, used by the
// norvds of a group that share a key, adds who it is for, the sender's start
// (epoch) and sequence number, and an authentication code over everything
// before it; the receipt's fields keep the offsets they have in version 1.
// This file only lays the bytes out: the code is computed and checked, and
// the epoch and sequence judged, by the peer messages (peer_messages.h).
#ifndef NORVD_PEER_WIRE_H
#define NORVD_PEER_WIRE_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "norv.h"
#include "wire.h"

namespace norvd::peer {

constexpr uint16_t kPort = 16007;
constexpr uint32_t kMagic = 0x4456524E;  // "NRVD" in wire order
constexpr uint8_t kVersion = 1;
constexpr uint8_t kVersionAuthenticated = 2;
constexpr uint8_t kTypeReceipt = 1;
constexpr uint8_t kTypeProbe = 2;

// ---- Head of every message: [0 magic u32][4 version u8][5 type u8] ---------
namespace head {
constexpr size_t kMagic = 0;
constexpr size_t kVersion = 4;
constexpr size_t kType = 5;
}  // namespace head

inline void put_head(uint8_t *buf, uint8_t version, uint8_t type) {
    using namespace norv::wire;
    put_u32le(buf, head::kMagic, kMagic);
    put_u8(buf, head::kVersion, version);
    put_u8(buf, head::kType, type);
}

// The version of a message that starts with our magic, or nothing.
inline std::optional<uint8_t> message_version(const uint8_t *buf, size_t len) {
    using namespace norv::wire;
    if (len <= head::kVersion || get_u32le(buf, head::kMagic) != kMagic) return std::nullopt;
    return get_u8(buf, head::kVersion);
}

// Whether len is size and the head is ours, of that version and a receipt.
inline bool has_receipt_head(const uint8_t *buf, size_t len, size_t size, uint8_t version) {
    using namespace norv::wire;
    return len == size && get_u32le(buf, head::kMagic) == kMagic &&
           get_u8(buf, head::kVersion) == version && get_u8(buf, head::kType) == kTypeReceipt;
}

// ---- Receipt (20 bytes) ----------------------------------------------------
// [0 magic u32][4 version u8][5 type u8][6 receiver u8][7 reserved]
// [8 registrationId i32][12 receiptTime u64]
// receiver: machine id of the machine that received the datagram;
// receiptTime: its time of receipt in common time (CLOCK_REALTIME nanoseconds,
// the clock that the machines of a group keep in step).
namespace receipt {
constexpr size_t kMagic = 0;
constexpr size_t kVersion = 4;
constexpr size_t kType = 5;
constexpr size_t kReceiver = 6;
constexpr size_t kRegistrationId = 8;
constexpr size_t kReceiptTime = 12;
constexpr size_t kSize = 20;
static_assert(kReceiptTime + 8 == kSize);
static_assert(kRegistrationId % 4 == 0 && kReceiptTime % 4 == 0);
static_assert(kMagic == head::kMagic && kVersion == head::kVersion && kType == head::kType);
}  // namespace receipt

struct Receipt {
    uint8_t receiver;
    int32_t registrationId;
    uint64_t receiptTime;
};

inline void encode_receipt(const Receipt &r, uint8_t *buf) {
    using namespace norv::wire;
    put_head(buf, kVersion, kTypeReceipt);
    put_u8(buf, receipt::kReceiver, r.receiver);
    put_u8(buf, receipt::kReceiver + 1, 0);
    put_i32le(buf, receipt::kRegistrationId, r.registrationId);
    put_u64le(buf, receipt::kReceiptTime, r.receiptTime);
}

// Decodes a receipt of exactly kSize bytes, with our magic, version and type,
// a machine id below MAX_MACHINES and a positive registration id.
inline std::optional<Receipt> decode_receipt(const uint8_t *buf, size_t len) {
    using namespace norv::wire;
    if (!has_receipt_head(buf, len, receipt::kSize, kVersion)) return std::nullopt;
    Receipt r{get_u8(buf, receipt::kReceiver), get_i32le(buf, receipt::kRegistrationId),
              get_u64le(buf, receipt::kReceiptTime)};
    if (r.receiver >= MAX_MACHINES || r.registrationId <= 0) return std::nullopt;
    return r;
}

// ---- Authenticated receipt, version 2 (68 bytes) ---------------------------
// [0 magic u32][4 version u8 = 2][5 type u8][6 sender u8][7 addressee u8]
// [8 registrationId i32][12 receiptTime u64][20 epoch u64][28 seq u64]
// [36 code 32]
// sender: as the receiver of version 1, the machine that received the
// datagram and sends this; addressee: the machine the message is for, so
// that a message cannot be played to another machine of the group; epoch:
// the sender's start (its CLOCK_REALTIME in ns when it started), larger at
// every start; seq: the sender's count of messages to that addressee in that
// epoch, from 1; code: HMAC-SHA512-256 of bytes 0 to 35 under the group key.
namespace receipt_v2 {
constexpr size_t kMagic = 0;
constexpr size_t kVersion = 4;
constexpr size_t kType = 5;
constexpr size_t kSender = 6;
constexpr size_t kAddressee = 7;
constexpr size_t kRegistrationId = 8;
constexpr size_t kReceiptTime = 12;
constexpr size_t kEpoch = 20;
constexpr size_t kSeq = 28;
constexpr size_t kCode = 36;
constexpr size_t kCodeSize = 32;
constexpr size_t kSize = 68;
static_assert(kRegistrationId == receipt::kRegistrationId && kReceiptTime == receipt::kReceiptTime);
static_assert(kReceiptTime + 8 == kEpoch && kEpoch + 8 == kSeq && kSeq + 8 == kCode);
static_assert(kCode + kCodeSize == kSize);
static_assert(kEpoch % 4 == 0 && kSeq % 4 == 0);
static_assert(kMagic == head::kMagic && kVersion == head::kVersion && kType == head::kType);
}  // namespace receipt_v2

struct AuthenticatedReceipt {
    Receipt receipt;  // receipt.receiver is the sender
    uint8_t addressee;
    uint64_t epoch;
    uint64_t seq;
};

// Writes every byte before the code; the code is the caller's to append.
inline void encode_receipt_v2(const AuthenticatedReceipt &a, uint8_t *buf) {
    using namespace norv::wire;
    put_head(buf, kVersionAuthenticated, kTypeReceipt);
    put_u8(buf, receipt_v2::kSender, a.receipt.receiver);
    put_u8(buf, receipt_v2::kAddressee, a.addressee);
    put_i32le(buf, receipt_v2::kRegistrationId, a.receipt.registrationId);
    put_u64le(buf, receipt_v2::kReceiptTime, a.receipt.receiptTime);
    put_u64le(buf, receipt_v2::kEpoch, a.epoch);
    put_u64le(buf, receipt_v2::kSeq, a.seq);
}

// Decodes a version 2 receipt of exactly kSize bytes, with our magic, version
// and type, sender and addressee below MAX_MACHINES and a positive
// registration id. The code is not looked at here.
inline std::optional<AuthenticatedReceipt> decode_receipt_v2(const uint8_t *buf, size_t len) {
    using namespace norv::wire;
    if (!has_receipt_head(buf, len, receipt_v2::kSize, kVersionAuthenticated)) return std::nullopt;
    AuthenticatedReceipt a{{get_u8(buf, receipt_v2::kSender), get_i32le(buf, receipt_v2::kRegistrationId),
                            get_u64le(buf, receipt_v2::kReceiptTime)},
                           get_u8(buf, receipt_v2::kAddressee), get_u64le(buf, receipt_v2::kEpoch),
                           get_u64le(buf, receipt_v2::kSeq)};
    if (a.receipt.receiver >= MAX_MACHINES || a.addressee >= MAX_MACHINES ||
        a.receipt.registrationId <= 0)
        return std::nullopt;
    return a;
}

// ---- Probe, version 1 (36 bytes) and 2 (84 bytes) --------------------------
// [0 magic u32][4 version u8][5 type u8 = 2][6 sender u8][7 addressee u8]
// [8 kind u8][9 reserved, 3 bytes of 0][12 origin u64][20 received u64]
// [28 transmit u64]; version 2 goes on with [36 epoch u64][44 seq u64]
// [52 code 32], as the authenticated receipt: code over bytes 0 to 51.
// kind: 0 request, 1 answer. origin: the requester's common time when it
// sent the request (echoed by the answer); received, transmit: in an answer,
// the answerer's common time when the request arrived and when it sent the
// answer (0 in a request). Common times are ns, never 0.
namespace probe {
constexpr size_t kMagic = 0;
constexpr size_t kVersion = 4;
constexpr size_t kType = 5;
constexpr size_t kSender = 6;
constexpr size_t kAddressee = 7;
constexpr size_t kKind = 8;
constexpr size_t kReserved = 9;
constexpr size_t kOrigin = 12;
constexpr size_t kReceived = 20;
constexpr size_t kTransmit = 28;
constexpr size_t kSize = 36;
constexpr size_t kEpoch = 36;
constexpr size_t kSeq = 44;
constexpr size_t kCode = 52;
constexpr size_t kSizeAuthenticated = kCode + receipt_v2::kCodeSize;
static_assert(kTransmit + 8 == kSize && kEpoch + 8 == kSeq && kSeq + 8 == kCode);
static_assert(kSizeAuthenticated == 84);
static_assert(kOrigin % 4 == 0 && kReceived % 4 == 0 && kTransmit % 4 == 0 && kEpoch % 4 == 0);
static_assert(kSender == receipt_v2::kSender && kAddressee == receipt_v2::kAddressee);
static_assert(kMagic == head::kMagic && kVersion == head::kVersion && kType == head::kType);
}  // namespace probe

constexpr uint8_t kProbeRequest = 0;
constexpr uint8_t kProbeAnswer = 1;

struct Probe {
    uint8_t sender;
    uint8_t addressee;
    uint8_t kind;
    uint64_t origin;
    uint64_t received;
    uint64_t transmit;
};

// A version 2 probe: the probe and its place in its sender's numbering.
struct AuthenticatedProbe {
    Probe probe;
    uint64_t epoch;
    uint64_t seq;
};

// Writes a probe of `version`: all of version 1, or every byte of version 2
// before the code (the caller appends it; epoch and seq are ignored for
// version 1).
inline void encode_probe(const AuthenticatedProbe &a, uint8_t version, uint8_t *buf) {
    using namespace norv::wire;
    const Probe &p = a.probe;
    put_head(buf, version, kTypeProbe);
    put_u8(buf, probe::kSender, p.sender);
    put_u8(buf, probe::kAddressee, p.addressee);
    put_u8(buf, probe::kKind, p.kind);
    for (size_t i = 0; i < 3; ++i) put_u8(buf, probe::kReserved + i, 0);
    put_u64le(buf, probe::kOrigin, p.origin);
    put_u64le(buf, probe::kReceived, p.received);
    put_u64le(buf, probe::kTransmit, p.transmit);
    if (version == kVersionAuthenticated) {
        put_u64le(buf, probe::kEpoch, a.epoch);
        put_u64le(buf, probe::kSeq, a.seq);
    }
}

// Decodes a probe of `version` of exactly its size: our magic, the type,
// machines below MAX_MACHINES, a known kind, reserved bytes 0, an origin, and
// the answerer's two times in an answer only. The code is not looked at here.
inline std::optional<AuthenticatedProbe> decode_probe(const uint8_t *buf, size_t len, uint8_t version) {
    using namespace norv::wire;
    size_t size = version == kVersionAuthenticated ? probe::kSizeAuthenticated : probe::kSize;
    if (len != size || get_u32le(buf, head::kMagic) != kMagic || get_u8(buf, head::kVersion) != version ||
        get_u8(buf, head::kType) != kTypeProbe)
        return std::nullopt;
    AuthenticatedProbe a{{get_u8(buf, probe::kSender), get_u8(buf, probe::kAddressee), get_u8(buf, probe::kKind),
                          get_u64le(buf, probe::kOrigin), get_u64le(buf, probe::kReceived),
                          get_u64le(buf, probe::kTransmit)},
                         0, 0};
    const Probe &p = a.probe;
    if (p.sender >= MAX_MACHINES || p.addressee >= MAX_MACHINES || p.kind > kProbeAnswer || p.origin == 0)
        return std::nullopt;
    for (size_t i = 0; i < 3; ++i)
        if (get_u8(buf, probe::kReserved + i) != 0) return std::nullopt;
    bool answer = p.kind == kProbeAnswer;
    if ((p.received != 0) != answer || (p.transmit != 0) != answer) return std::nullopt;
    if (version == kVersionAuthenticated) {
        a.epoch = get_u64le(buf, probe::kEpoch);
        a.seq = get_u64le(buf, probe::kSeq);
    }
    return a;
}

// The type of a message of at least a head's length, or nothing.
inline std::optional<uint8_t> message_type(const uint8_t *buf, size_t len) {
    using namespace norv::wire;
    if (len <= head::kType || get_u32le(buf, head::kMagic) != kMagic) return std::nullopt;
    return get_u8(buf, head::kType);
}

}  // namespace norvd::peer

#endif  // NORVD_PEER_WIRE_H
