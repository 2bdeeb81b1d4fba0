// golden_header.h: one timed header written out by hand, byte by byte, and
// the socket state that must produce it. Shared by the header and socket tests.
#ifndef NORV_TESTS_GOLDEN_HEADER_H
#define NORV_TESTS_GOLDEN_HEADER_H

#include <cstdint>

#include "norv.h"

namespace norv::test::golden {

// The sender: machine 2, holding references from machines 0 and 3.
constexpr uint8_t kSenderId = 2;
constexpr uint64_t kNow = UINT64_C(0x1122334455667788);         // its clock read at the send
constexpr uint64_t kStartStamp = UINT64_C(0x1122334455660000);  // elapsed 0x7788
constexpr int32_t kRegistrationId = 0x0A0B0C0D;

inline void fill_sender(TimedSocket *s) {
    init_session(s, kSenderId);
    // Held for 0x667788 at the send.
    s->peers[0] = PeerTiming{UINT64_C(0x1122334455000000), UINT64_C(0x0807060504030201),
                             /*delayError*/ 0x3E8, /*delayEstimate*/ 0x12345};
    // Received "after" the send on the sender's clock: age wraps to all ones.
    s->peers[3] = PeerTiming{UINT64_C(0x1122334455667789), UINT64_C(0xF0E0D0C0B0A09080),
                             UNKNOWN_DELAY_ERROR, UINT64_C(0x8000000000000000)};
    // Empty (recvTime 0) though its other fields are not: still sent as zeros.
    s->peers[4] = PeerTiming{0, 0x55, 0x66, 0x77};
}

// Bytes 2 and 3 are reserved and not written by the sender: the send buffer
// is prefilled with kFill and they keep it.
constexpr uint8_t kFill = 0xEE;

// clang-format off
constexpr uint8_t kHeader[TIMED_HEADER_SIZE] = {
    0x02,                                            // 0 senderId
    0x00,                                            // 1 kind
    0xEE, 0xEE,                                      // 2 reserved, untouched
    0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,  // 4 sendStamp
    0x88, 0x77, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 12 elapsed
    // 20 echo 0
    0x88, 0x77, 0x66, 0x00, 0x00, 0x00, 0x00, 0x00,  // age
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // sendStamp
    0x45, 0x23, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // delayEstimate
    0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // delayError
    // 52 echo 1: empty
    0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,
    // 84 echo 2: empty (the sender's own)
    0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,
    // 116 echo 3
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // age
    0x80, 0x90, 0xA0, 0xB0, 0xC0, 0xD0, 0xE0, 0xF0,  // sendStamp
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,  // delayEstimate
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,  // delayError
    // 148 echo 4: empty slot with non-zero fields
    0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,
    0x0D, 0x0C, 0x0B, 0x0A,                          // 180 registrationId
};
// clang-format on

// The receiver: machine 0, whose clock read kReceiverNow on receipt. Its
// echoed datagram went out at 0x0807060504030201, so the round trip is
// 6869837 = age 6715272 + echoed estimate 74565 + 80000. By hand:
// D = 80000; R = (1000 + 34.349185) + 33.57636 -> 1067;
// M = (6869871.349185 - 6715238.42364) / 2 -> 77316; R <= M: (80000, 1067).
// Outputs: 80000 + 0x7788 = 110600 and 1067 + 30600 x 5e-6 -> 1067.
constexpr uint8_t kReceiverId = 0;
constexpr uint64_t kReceiverNow = UINT64_C(0x0807060504030201) + 6869837;
constexpr uint64_t kEstimate = 110600;
constexpr uint64_t kError = 1067;
constexpr PeerTiming kReceiverSlotAfter = {kReceiverNow, kNow, 1067, 80000};

}  // namespace norv::test::golden

#endif  // NORV_TESTS_GOLDEN_HEADER_H
