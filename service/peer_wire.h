// peer_wire.h: the messages that the norvd of the machines of one group send
// each other over UDP port 16007.
//
// There is one kind so far: a receipt, sent by the norvd of the machine that
// received a registered datagram to the norvd of the machine that registered
// it, so that the latter can judge the send. Every message starts with a magic
// number and a version, and anything that does not decode exactly is ignored.
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
constexpr uint8_t kTypeReceipt = 1;

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
}  // namespace receipt

struct Receipt {
    uint8_t receiver;
    int32_t registrationId;
    uint64_t receiptTime;
};

inline void encode_receipt(const Receipt &r, uint8_t *buf) {
    using namespace norv::wire;
    put_u32le(buf, receipt::kMagic, kMagic);
    put_u8(buf, receipt::kVersion, kVersion);
    put_u8(buf, receipt::kType, kTypeReceipt);
    put_u8(buf, receipt::kReceiver, r.receiver);
    put_u8(buf, receipt::kReceiver + 1, 0);
    put_i32le(buf, receipt::kRegistrationId, r.registrationId);
    put_u64le(buf, receipt::kReceiptTime, r.receiptTime);
}

// Decodes a receipt of exactly kSize bytes, with our magic, version and type,
// a machine id below MAX_MACHINES and a positive registration id.
inline std::optional<Receipt> decode_receipt(const uint8_t *buf, size_t len) {
    using namespace norv::wire;
    if (len != receipt::kSize) return std::nullopt;
    if (get_u32le(buf, receipt::kMagic) != kMagic) return std::nullopt;
    if (get_u8(buf, receipt::kVersion) != kVersion) return std::nullopt;
    if (get_u8(buf, receipt::kType) != kTypeReceipt) return std::nullopt;
    Receipt r{get_u8(buf, receipt::kReceiver), get_i32le(buf, receipt::kRegistrationId),
              get_u64le(buf, receipt::kReceiptTime)};
    if (r.receiver >= MAX_MACHINES || r.registrationId <= 0) return std::nullopt;
    return r;
}

}  // namespace norvd::peer

#endif  // NORVD_PEER_WIRE_H
