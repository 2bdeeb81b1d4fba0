// timed_header_test.cc: the 184-byte timed header: the hand-written golden
// vector, round trips over edge values, short and oversize datagrams, and the
// send and receive paths' header logic (without sockets).
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "golden_header.h"
#include "norv.h"
#include "timed_socket_io.h"
#include "wire.h"

namespace {

namespace golden = norv::test::golden;
using norv::wire::decode_timed_header;
using norv::wire::encode_timed_header;
using norv::wire::PeerEcho;
using norv::wire::TimedHeader;

TEST(TimedHeader, SendPathReproducesTheGoldenBytes) {
    TimedSocket s;
    golden::fill_sender(&s);
    TimedSocket before;
    std::memcpy(&before, &s, sizeof s);

    uint8_t buf[TIMED_HEADER_SIZE + 8];
    std::memset(buf, golden::kFill, sizeof buf);
    norv::write_timed_header(s, buf, 0, golden::kStartStamp, golden::kRegistrationId,
                             golden::kNow);
    for (size_t i = 0; i < TIMED_HEADER_SIZE; ++i)
        EXPECT_EQ(buf[i], golden::kHeader[i]) << "byte " << i;
    for (size_t i = TIMED_HEADER_SIZE; i < sizeof buf; ++i)
        EXPECT_EQ(buf[i], golden::kFill) << "payload byte " << i;
    // A send only reads the socket.
    EXPECT_EQ(std::memcmp(&before, &s, sizeof s), 0);
}

TEST(TimedHeader, DecodesTheGoldenBytes) {
    TimedHeader h;
    ASSERT_TRUE(decode_timed_header(golden::kHeader, sizeof golden::kHeader, &h));
    EXPECT_EQ(h.senderId, 2);
    EXPECT_EQ(h.kind, 0);
    EXPECT_EQ(h.sendStamp, golden::kNow);
    EXPECT_EQ(h.elapsed, 0x7788u);
    EXPECT_EQ(h.echoes[0].age, 0x667788u);
    EXPECT_EQ(h.echoes[0].sendStamp, UINT64_C(0x0807060504030201));
    EXPECT_EQ(h.echoes[0].delayEstimate, 0x12345u);
    EXPECT_EQ(h.echoes[0].delayError, 0x3E8u);
    EXPECT_EQ(h.echoes[3].age, UINT64_MAX);
    EXPECT_EQ(h.echoes[3].sendStamp, UINT64_C(0xF0E0D0C0B0A09080));
    EXPECT_EQ(h.echoes[3].delayEstimate, UINT64_C(0x8000000000000000));
    EXPECT_EQ(h.echoes[3].delayError, UNKNOWN_DELAY_ERROR);
    for (int i : {1, 2, 4}) {
        EXPECT_EQ(h.echoes[i].age, 0u) << i;
        EXPECT_EQ(h.echoes[i].sendStamp, 0u) << i;
        EXPECT_EQ(h.echoes[i].delayEstimate, 0u) << i;
        EXPECT_EQ(h.echoes[i].delayError, 0u) << i;
    }
    EXPECT_EQ(h.registrationId, golden::kRegistrationId);
}

TEST(TimedHeader, ReceivePathEstimatesFromTheGoldenBytes) {
    TimedSocket r;
    init_session(&r, golden::kReceiverId);
    TimedHeader h;
    ASSERT_TRUE(norv::screen_datagram(golden::kHeader, sizeof golden::kHeader, &h));
    uint64_t est = 0, err = 0;
    norv::estimate_datagram(r, h, golden::kReceiverNow, &est, &err);
    EXPECT_EQ(est, golden::kEstimate);
    EXPECT_EQ(err, golden::kError);
    const PeerTiming &slot = r.peers[golden::kSenderId];
    EXPECT_EQ(slot.recvTime, golden::kReceiverSlotAfter.recvTime);
    EXPECT_EQ(slot.sendStamp, golden::kReceiverSlotAfter.sendStamp);
    EXPECT_EQ(slot.delayError, golden::kReceiverSlotAfter.delayError);
    EXPECT_EQ(slot.delayEstimate, golden::kReceiverSlotAfter.delayEstimate);
}

TEST(TimedHeader, ReceiverReadsTheEchoAddressedToItsOwnId) {
    // Machine 3's echo carries an unknown error: the round-trip bound M wins.
    TimedSocket r;
    init_session(&r, 3);
    TimedHeader h;
    ASSERT_TRUE(decode_timed_header(golden::kHeader, sizeof golden::kHeader, &h));
    uint64_t now = UINT64_C(0xF0E0D0C0B0A09080) + 4000;  // T 4000, age all ones
    uint64_t est = 1, err = 1;
    norv::estimate_datagram(r, h, now, &est, &err);
    // M = (4000.02 - 1.8446651e19) / 2 < 0 -> 0; D wraps negative, cut to 0.
    EXPECT_EQ(est, 0x7788u);
    EXPECT_EQ(err, 0u);  // 30600 x 5e-6 = 0.153
    // Machine 1 finds no echo (path A): no bound, and the slot is filled.
    init_session(&r, 1);
    norv::estimate_datagram(r, h, 99, &est, &err);
    EXPECT_EQ(est, 0u);
    EXPECT_EQ(err, UINT64_MAX);
    EXPECT_EQ(r.peers[2].recvTime, 99u);
    EXPECT_EQ(r.peers[2].delayError, UNKNOWN_DELAY_ERROR);
}

TEST(TimedHeader, RoundTripsOverEdgeValues) {
    const uint64_t edges[] = {0, 1, uint64_t{1} << 63, UINT64_MAX, UNKNOWN_DELAY_ERROR,
                              UINT64_C(0x0102030405060708)};
    const int32_t ids[] = {0, 1, -1, INT32_MIN, INT32_MAX};
    int n = 0;
    for (uint64_t v : edges) {
        for (int32_t id : ids) {
            TimedHeader h{};
            h.senderId = static_cast<uint8_t>(v);
            h.kind = static_cast<uint8_t>(v >> 8);
            h.sendStamp = v;
            h.elapsed = ~v;
            for (int i = 0; i < MAX_MACHINES; ++i)
                h.echoes[i] = PeerEcho{v + i, v ^ i, ~v + i, v * 3 + i};
            h.registrationId = id;
            uint8_t buf[TIMED_HEADER_SIZE];
            std::memset(buf, 0x11 * (n++ % 15), sizeof buf);
            encode_timed_header(h, buf);
            TimedHeader back;
            ASSERT_TRUE(decode_timed_header(buf, sizeof buf, &back));
            EXPECT_EQ(back.senderId, h.senderId);
            EXPECT_EQ(back.kind, h.kind);
            EXPECT_EQ(back.sendStamp, h.sendStamp);
            EXPECT_EQ(back.elapsed, h.elapsed);
            for (int i = 0; i < MAX_MACHINES; ++i) {
                EXPECT_EQ(back.echoes[i].age, h.echoes[i].age);
                EXPECT_EQ(back.echoes[i].sendStamp, h.echoes[i].sendStamp);
                EXPECT_EQ(back.echoes[i].delayEstimate, h.echoes[i].delayEstimate);
                EXPECT_EQ(back.echoes[i].delayError, h.echoes[i].delayError);
            }
            EXPECT_EQ(back.registrationId, id);
        }
    }
}

// A datagram shorter than a header is neither decoded nor screened in, and
// the record is left as it was; a longer one gives the header of its first
// 184 bytes.
TEST(TimedHeader, DecodesTheFirst184BytesOfADatagramAndNothingShorter) {
    std::vector<uint8_t> datagram(golden::kHeader, golden::kHeader + TIMED_HEADER_SIZE);
    datagram.resize(1500, 0xA5);
    struct Row {
        size_t length;
        bool decoded;
    } rows[] = {{0, false}, {1, false}, {20, false}, {183, false}, {184, true}, {1500, true}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.length);
        TimedHeader h;
        std::memset(&h, 0x3C, sizeof h);
        TimedHeader untouched;
        std::memcpy(&untouched, &h, sizeof h);
        EXPECT_EQ(decode_timed_header(datagram.data(), r.length, &h), r.decoded);
        EXPECT_EQ(norv::screen_datagram(datagram.data(), r.length, &h), r.decoded);
        if (r.decoded) {
            EXPECT_EQ(h.registrationId, golden::kRegistrationId);
            EXPECT_EQ(h.sendStamp, golden::kNow);
        } else {
            EXPECT_EQ(std::memcmp(&h, &untouched, sizeof h), 0);
        }
    }
}

TEST(TimedHeader, ScreeningSkipsOtherKindsAndSenderIdsOutsideTheGroup) {
    uint8_t buf[TIMED_HEADER_SIZE];
    std::memcpy(buf, golden::kHeader, sizeof buf);
    TimedHeader h;
    for (int kind : {1, 2, 255}) {
        buf[norv::wire::header::kKind] = static_cast<uint8_t>(kind);
        EXPECT_FALSE(norv::screen_datagram(buf, sizeof buf, &h)) << kind;
    }
    buf[norv::wire::header::kKind] = 0;
    for (int id : {0, 4}) {
        buf[norv::wire::header::kSenderId] = static_cast<uint8_t>(id);
        EXPECT_TRUE(norv::screen_datagram(buf, sizeof buf, &h)) << id;
    }
    for (int id : {5, 6, 255}) {
        buf[norv::wire::header::kSenderId] = static_cast<uint8_t>(id);
        EXPECT_FALSE(norv::screen_datagram(buf, sizeof buf, &h)) << id;
    }
}

TEST(TimedHeader, ElapsedWrapsWhenTheStartStampIsLater) {
    TimedSocket s;
    init_session(&s, 0);
    uint8_t buf[TIMED_HEADER_SIZE] = {};
    norv::write_timed_header(s, buf, 0, 1000, 0, 999);
    EXPECT_EQ(norv::wire::get_u64le(buf, norv::wire::header::kElapsed), UINT64_MAX);
    // A fresh table sends five empty echoes and a zero registration id.
    for (size_t i = norv::wire::header::kEchoes; i < TIMED_HEADER_SIZE; ++i)
        EXPECT_EQ(buf[i], 0) << i;
}

TEST(TimedHeader, EchoAgeIsTheTimeSinceTheReferenceWasReceived) {
    TimedSocket s;
    init_session(&s, 1);
    uint64_t est, err;
    // A datagram from machine 4 received at 5000 becomes its reference.
    putReceiveInfo(&s, 5000, 0, 777, 0, 4, 0, 0, 0, &est, &err);
    uint8_t buf[TIMED_HEADER_SIZE] = {};
    norv::write_timed_header(s, buf, 0, 0, 0, 5600);
    TimedHeader h;
    ASSERT_TRUE(decode_timed_header(buf, sizeof buf, &h));
    EXPECT_EQ(h.senderId, 1);
    EXPECT_EQ(h.echoes[4].age, 600u);
    EXPECT_EQ(h.echoes[4].sendStamp, 777u);
    EXPECT_EQ(h.echoes[4].delayEstimate, 0u);
    EXPECT_EQ(h.echoes[4].delayError, UNKNOWN_DELAY_ERROR);
}

}  // namespace
