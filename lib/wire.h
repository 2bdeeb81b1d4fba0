// wire.h: byte layouts of every record that crosses the control channel or
// the network, and the little-endian helpers that read and write them.
//
// Buffers always hold wire order (little-endian, the target's host order, with
// 64-bit fields at 4-byte alignment). Records are never cast to or from
// structs: each field is put or got at its named offset.
#ifndef NORV_WIRE_H
#define NORV_WIRE_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "norv.h"

namespace norv::wire {

// ---- Helpers ------------------------------------------------------------

inline void put_u8(uint8_t *buf, size_t off, uint8_t v) { buf[off] = v; }
inline uint8_t get_u8(const uint8_t *buf, size_t off) { return buf[off]; }

// The wire order is little-endian, which is the host order of every machine
// that runs the system: there a fixed-width memcpy moves a field with one load
// or store. A big-endian host assembles the bytes with shifts instead. (g++ 12
// does not merge the byte loops into one access: encoding and decoding the
// timed header took eight times as long with them; docs/benchmarks.md.)
inline constexpr bool kHostIsLittleEndian = std::endian::native == std::endian::little;

inline void put_u16le(uint8_t *buf, size_t off, uint16_t v) {
    if constexpr (kHostIsLittleEndian) {
        std::memcpy(buf + off, &v, sizeof v);
    } else {
        buf[off] = static_cast<uint8_t>(v);
        buf[off + 1] = static_cast<uint8_t>(v >> 8);
    }
}
inline uint16_t get_u16le(const uint8_t *buf, size_t off) {
    if constexpr (kHostIsLittleEndian) {
        uint16_t v;
        std::memcpy(&v, buf + off, sizeof v);
        return v;
    } else {
        return static_cast<uint16_t>(buf[off] | (buf[off + 1] << 8));
    }
}

inline void put_u32le(uint8_t *buf, size_t off, uint32_t v) {
    if constexpr (kHostIsLittleEndian) {
        std::memcpy(buf + off, &v, sizeof v);
    } else {
        for (int i = 0; i < 4; ++i) buf[off + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
inline uint32_t get_u32le(const uint8_t *buf, size_t off) {
    uint32_t v = 0;
    if constexpr (kHostIsLittleEndian) {
        std::memcpy(&v, buf + off, sizeof v);
    } else {
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(buf[off + i]) << (8 * i);
    }
    return v;
}
inline void put_i32le(uint8_t *buf, size_t off, int32_t v) {
    put_u32le(buf, off, static_cast<uint32_t>(v));
}
inline int32_t get_i32le(const uint8_t *buf, size_t off) {
    return static_cast<int32_t>(get_u32le(buf, off));
}

inline void put_u64le(uint8_t *buf, size_t off, uint64_t v) {
    if constexpr (kHostIsLittleEndian) {
        std::memcpy(buf + off, &v, sizeof v);
    } else {
        for (int i = 0; i < 8; ++i) buf[off + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
inline uint64_t get_u64le(const uint8_t *buf, size_t off) {
    uint64_t v = 0;
    if constexpr (kHostIsLittleEndian) {
        std::memcpy(&v, buf + off, sizeof v);
    } else {
        for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(buf[off + i]) << (8 * i);
    }
    return v;
}

// Copies a name into a fixed field the way strncpy does: the name's bytes up
// to its terminator, then zeros to the end of the field; a name that fills the
// field goes without terminator. Reads no byte of src past the field's width.
inline void put_name(uint8_t *buf, size_t off, const char *src, size_t width) {
    size_t n = strnlen(src, width);
    std::memcpy(buf + off, src, n);
    std::memset(buf + off + n, 0, width - n);
}

// ---- Control channel: request head -----------------------------------------
// [0 command i32][4 length i32][8 payload ...]
namespace request {
constexpr size_t kCommand = 0;
constexpr size_t kLength = 4;
constexpr size_t kHeadSize = 8;
}  // namespace request

// ---- Replies of one value -----------------------------------------------------
// Commands 0, 3, 4, 7, 9 and 10: [0 answer i32]. Commands 2 and 6: [0 value u64].
constexpr size_t kReplyAnswer = 0;
constexpr size_t kI32ReplySize = 4;
constexpr size_t kU64ReplySize = 8;

// ---- Command 4 (start measurement) payload: [0 value u64] ------------------
namespace start_measurement {
constexpr size_t kValue = 0;
constexpr size_t kSize = 8;
static_assert(kValue + 8 == kSize);
}  // namespace start_measurement

// ---- Commands 5, 8, 11, 12 payload: [0 value i32] ----------------------------
namespace int_payload {
constexpr size_t kValue = 0;
constexpr size_t kSize = 4;
static_assert(kValue + 4 == kSize);
}  // namespace int_payload

// ---- Command 5 reply: [0 status i8][1 pad 3][4 first u64][12 second u64] ----
namespace end_measurement_reply {
constexpr size_t kStatus = 0;
constexpr size_t kFirst = 4;
constexpr size_t kSecond = 12;
constexpr size_t kSize = 20;
static_assert(kSecond + 8 == kSize);
}  // namespace end_measurement_reply

// ---- Commands 6 and 7 payload --------------------------------------------
// [0 first u64][8 second u64][16 third u64][24 module 50][74 activity 50]
// [124 wcet 50] then, command 6 only, [174 text 20][194 pad 2]; command 7: [174 pad 2]
namespace exec_request {
constexpr size_t kFirst = 0;
constexpr size_t kSecond = 8;
constexpr size_t kThird = 16;
constexpr size_t kModuleName = 24;
constexpr size_t kActivityName = 74;
constexpr size_t kWcetName = 124;
constexpr size_t kNameWidth = 50;
constexpr size_t kText = 174;
constexpr size_t kTextWidth = 20;
constexpr size_t kExecSize = 196;
constexpr size_t kLocalFDSize = 176;
static_assert(kText + kTextWidth + 2 == kExecSize);
static_assert(kWcetName + kNameWidth + 2 == kLocalFDSize);
}  // namespace exec_request

// ---- Command 8 reply: [0 status i32][4 first u64][12 second u64][20 byte u8][21 pad 3]
namespace end_local_fd_reply {
constexpr size_t kStatus = 0;
constexpr size_t kFirst = 4;
constexpr size_t kSecond = 12;
constexpr size_t kByte = 20;
constexpr size_t kSize = 24;
static_assert(kByte + 1 + 3 == kSize);
}  // namespace end_local_fd_reply

// ---- Command 9 (register send) payload -------------------------------------
// [0 startStamp u64][8 first u64][16 second u64][24 value8 u8][25 pad 3]
// [28 value32 i32][32 module 50][82 activity 50][132 wcet 50][182 pad 2]
namespace register_send {
constexpr size_t kStartStamp = 0;
constexpr size_t kFirst = 8;
constexpr size_t kSecond = 16;
constexpr size_t kValue8 = 24;
constexpr size_t kValue32 = 28;
constexpr size_t kModuleName = 32;
constexpr size_t kActivityName = 82;
constexpr size_t kWcetName = 132;
constexpr size_t kNameWidth = 50;
constexpr size_t kSize = 184;
static_assert(kWcetName + kNameWidth + 2 == kSize);
}  // namespace register_send

// ---- Command 10 (receipt) payload ------------------------------------------
// [0 registrationId i32][4 receiptTime u64][12 sender u8][13 pad 3]
namespace receipt {
constexpr size_t kRegistrationId = 0;
constexpr size_t kReceiptTime = 4;
constexpr size_t kSender = 12;
constexpr size_t kSize = 16;
static_assert(kSender + 1 + 3 == kSize);
}  // namespace receipt

// ---- The command table -----------------------------------------------------------
// Every command of the control channel, row i for command i: its number, a
// name for tools and messages, the payload bytes behind its head (the layouts
// above), the bytes of its reply (0: it gets none, and nothing is read after
// it) and what it asks for. The library sizes its requests and reads its
// replies by this table; norvd bounds, checks and dispatches requests by it;
// the fuzzers' dictionary is printed from it.
namespace command {
constexpr int32_t kConnect = 0;
constexpr int32_t kDisconnect = 1;
constexpr int32_t kTimestamp = 2;
constexpr int32_t kMachineId = 3;
constexpr int32_t kStartMeasurement = 4;
constexpr int32_t kEndMeasurement = 5;
constexpr int32_t kStartExec = 6;
constexpr int32_t kStartLocalFD = 7;
constexpr int32_t kEndLocalFD = 8;
constexpr int32_t kRegisterSend = 9;
constexpr int32_t kReceipt = 10;
constexpr int32_t kBindServer = 11;
constexpr int32_t kSocketClose = 12;
}  // namespace command

struct Command {
    int32_t number;
    const char *name;
    size_t payloadSize;
    size_t replySize;
    const char *meaning;
};

inline constexpr Command kCommands[] = {
    {command::kConnect, "connect", 0, kI32ReplySize,
     "a connection (registration device only): its channel number, or a refusal"},
    {command::kDisconnect, "disconnect", 0, 0, "the end of the connection"},
    {command::kTimestamp, "timestamp", 0, kU64ReplySize, "a reading of the service clock"},
    {command::kMachineId, "machine_id", 0, kI32ReplySize, "the id of the local machine"},
    {command::kStartMeasurement, "start_measurement", start_measurement::kSize, kI32ReplySize,
     "starts a measurement: its handle"},
    {command::kEndMeasurement, "end_measurement", int_payload::kSize, end_measurement_reply::kSize,
     "ends a measurement: status, start and duration"},
    {command::kStartExec, "start_exec", exec_request::kExecSize, kU64ReplySize,
     "a timely execution: its 64-bit answer"},
    {command::kStartLocalFD, "start_local_fd", exec_request::kLocalFDSize, kI32ReplySize,
     "starts a local failure detection: its handle"},
    {command::kEndLocalFD, "end_local_fd", int_payload::kSize, end_local_fd_reply::kSize,
     "ends a local failure detection: status, start, duration and verdict"},
    {command::kRegisterSend, "register_send", register_send::kSize, kI32ReplySize,
     "registers a timed send: its registration id, or a refusal"},
    {command::kReceipt, "receipt", receipt::kSize, kI32ReplySize,
     "a registered datagram received: 0 when it is to be accepted"},
    {command::kBindServer, "bind_server", int_payload::kSize, 0, "a timed socket bound as a server"},
    {command::kSocketClose, "socket_close", int_payload::kSize, 0, "a timed socket closed"},
};

constexpr int32_t kCommandCount = static_cast<int32_t>(std::size(kCommands));

// The row of command `number`, or nullptr when no command has that number.
constexpr const Command *find_command(int32_t number) {
    return number >= 0 && number < kCommandCount ? &kCommands[number] : nullptr;
}

// Sizes of a command of the table (a constant of namespace command).
constexpr size_t payload_size(int32_t number) { return kCommands[number].payloadSize; }
constexpr size_t request_size(int32_t number) { return request::kHeadSize + payload_size(number); }
constexpr size_t reply_size(int32_t number) { return kCommands[number].replySize; }

// The largest payload of any command: a head that announces more cannot be a
// request.
constexpr size_t kMaxPayloadSize = [] {
    size_t largest = 0;
    for (const Command &c : kCommands) largest = c.payloadSize > largest ? c.payloadSize : largest;
    return largest;
}();

// Row i is command i, so that a number finds its row by index; every payload
// length is a multiple of 4, as the channel's framing requires.
static_assert([] {
    for (int32_t i = 0; i < kCommandCount; ++i)
        if (kCommands[i].number != i || kCommands[i].payloadSize % 4 != 0) return false;
    return true;
}());

// ---- Failure notice (48 bytes) -------------------------------------------------
// [0 reserved][1 sender u8][2 reserved 2][4 seq u32][8 verdicts 5 x 8]
// verdict: [0 status u8][1 latenessKnown u8][2 reserved 2][4 lateness i32]
namespace notice {
constexpr size_t kSender = 1;
constexpr size_t kSeq = 4;
constexpr size_t kVerdicts = 8;
constexpr size_t kVerdictSize = 8;
constexpr size_t kVerdictStatus = 0;
constexpr size_t kVerdictLatenessKnown = 1;
constexpr size_t kVerdictLateness = 4;
constexpr size_t kSize = 48;
static_assert(kVerdicts + MAX_MACHINES * kVerdictSize == kSize);
static_assert(kSize == NORV_FAILURE_NOTICE_SIZE);
}  // namespace notice

inline void encode_failure_notice(const FailureNotice &n, uint8_t *buf) {
    std::memset(buf, 0, notice::kSize);
    put_u8(buf, notice::kSender, n.sender);
    put_u32le(buf, notice::kSeq, n.seq);
    for (size_t i = 0; i < MAX_MACHINES; ++i) {
        size_t v = notice::kVerdicts + i * notice::kVerdictSize;
        put_u8(buf, v + notice::kVerdictStatus, n.verdicts[i].status);
        put_u8(buf, v + notice::kVerdictLatenessKnown, n.verdicts[i].latenessKnown);
        put_i32le(buf, v + notice::kVerdictLateness, n.verdicts[i].lateness);
    }
}

inline FailureNotice decode_failure_notice(const uint8_t *buf) {
    FailureNotice n{};
    n.sender = get_u8(buf, notice::kSender);
    n.seq = get_u32le(buf, notice::kSeq);
    for (size_t i = 0; i < MAX_MACHINES; ++i) {
        size_t v = notice::kVerdicts + i * notice::kVerdictSize;
        n.verdicts[i].status = get_u8(buf, v + notice::kVerdictStatus);
        n.verdicts[i].latenessKnown = get_u8(buf, v + notice::kVerdictLatenessKnown);
        n.verdicts[i].lateness = get_i32le(buf, v + notice::kVerdictLateness);
    }
    return n;
}

// ---- Timed datagram header (184 bytes) ----------------------------------------
// [0 senderId u8][1 kind u8][2 reserved 2][4 sendStamp u64][12 elapsed u64]
// [20 echoes 5 x 32][180 registrationId i32][184 payload ...]
// echo i at 20 + 32*i: [0 age u64][8 sendStamp u64][16 delayEstimate u64][24 delayError u64]
namespace header {
constexpr size_t kSenderId = 0;
constexpr size_t kKind = 1;
constexpr size_t kSendStamp = 4;
constexpr size_t kElapsed = 12;
constexpr size_t kEchoes = 20;
constexpr size_t kEchoSize = 32;
constexpr size_t kEchoAge = 0;
constexpr size_t kEchoSendStamp = 8;
constexpr size_t kEchoDelayEstimate = 16;
constexpr size_t kEchoDelayError = 24;
constexpr size_t kRegistrationId = 180;
constexpr size_t kSize = 184;
static_assert(kEchoes + MAX_MACHINES * kEchoSize == kRegistrationId);
static_assert(kRegistrationId + 4 == kSize);
static_assert(kSize == TIMED_HEADER_SIZE);
static_assert(kEchoDelayError + 8 == kEchoSize);

constexpr size_t echo(size_t machine) { return kEchoes + machine * kEchoSize; }
}  // namespace header

// Decoded forms of the timed header; the datagram buffer itself stays in wire
// order. Note the echo's estimate stands before its error on the wire, the
// reverse of PeerTiming.
struct PeerEcho {
    uint64_t age;           // sender's sendStamp minus its reference's recvTime
    uint64_t sendStamp;     // the reference's send stamp, a reading of machine i's clock
    uint64_t delayEstimate;
    uint64_t delayError;
};

struct TimedHeader {
    uint8_t senderId;
    uint8_t kind;
    uint64_t sendStamp;
    uint64_t elapsed;
    PeerEcho echoes[MAX_MACHINES];
    int32_t registrationId;
};

// Writes every field of h at its offset into the header room buf (184 bytes).
// The two reserved bytes at 2 and 3 are left as the buffer holds them: the
// sender does not write them.
inline void encode_timed_header(const TimedHeader &h, uint8_t *buf) {
    put_u8(buf, header::kSenderId, h.senderId);
    put_u8(buf, header::kKind, h.kind);
    put_u64le(buf, header::kSendStamp, h.sendStamp);
    put_u64le(buf, header::kElapsed, h.elapsed);
    for (size_t i = 0; i < MAX_MACHINES; ++i) {
        size_t e = header::echo(i);
        put_u64le(buf, e + header::kEchoAge, h.echoes[i].age);
        put_u64le(buf, e + header::kEchoSendStamp, h.echoes[i].sendStamp);
        put_u64le(buf, e + header::kEchoDelayEstimate, h.echoes[i].delayEstimate);
        put_u64le(buf, e + header::kEchoDelayError, h.echoes[i].delayError);
    }
    put_i32le(buf, header::kRegistrationId, h.registrationId);
}

// Decodes the header of a received datagram of len bytes. A datagram shorter
// than the header holds no whole header: false, and nothing is read or stored.
inline bool decode_timed_header(const uint8_t *buf, size_t len, TimedHeader *h) {
    if (len < header::kSize) return false;
    h->senderId = get_u8(buf, header::kSenderId);
    h->kind = get_u8(buf, header::kKind);
    h->sendStamp = get_u64le(buf, header::kSendStamp);
    h->elapsed = get_u64le(buf, header::kElapsed);
    for (size_t i = 0; i < MAX_MACHINES; ++i) {
        size_t e = header::echo(i);
        h->echoes[i].age = get_u64le(buf, e + header::kEchoAge);
        h->echoes[i].sendStamp = get_u64le(buf, e + header::kEchoSendStamp);
        h->echoes[i].delayEstimate = get_u64le(buf, e + header::kEchoDelayEstimate);
        h->echoes[i].delayError = get_u64le(buf, e + header::kEchoDelayError);
    }
    h->registrationId = get_i32le(buf, header::kRegistrationId);
    return true;
}

// ---- Ping payload (20 bytes, behind the header) ------------------------------------
// [0 sendError u64][8 sendTime u64][16 seq u32]
namespace ping {
constexpr size_t kSendError = 0;
constexpr size_t kSendTime = 8;
constexpr size_t kSeq = 16;
constexpr size_t kSize = 20;
static_assert(kSeq + 4 == kSize);
}  // namespace ping

struct PingPayload {
    uint64_t sendError;
    uint64_t sendTime;
    uint32_t seq;
};

inline void encode_ping_payload(const PingPayload &p, uint8_t *buf) {
    put_u64le(buf, ping::kSendError, p.sendError);
    put_u64le(buf, ping::kSendTime, p.sendTime);
    put_u32le(buf, ping::kSeq, p.seq);
}

inline PingPayload decode_ping_payload(const uint8_t *buf) {
    return PingPayload{get_u64le(buf, ping::kSendError), get_u64le(buf, ping::kSendTime),
                       get_u32le(buf, ping::kSeq)};
}

}  // namespace norv::wire

#endif  // NORV_WIRE_H
