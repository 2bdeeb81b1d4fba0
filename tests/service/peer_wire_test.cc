// The receipt message that norvds send each other.
#include <gtest/gtest.h>

#include "core/peer_wire.h"
#include "support/scripted_peer.h"

namespace norvd::peer {
namespace {

using norv::test::Bytes;

TEST(PeerWire, ReceiptGoldenBytes) {
    Bytes expected = {
        0x4E, 0x52, 0x56, 0x44,                          // magic "NRVD"
        0x01, 0x01, 0x03, 0x00,                          // version 1, receipt, machine 3, reserved
        0x05, 0x00, 0x00, 0x0C,                          // registration id 0x0C000005
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // receipt time
    };
    uint8_t buf[receipt::kSize];
    std::memset(buf, 0xEE, sizeof buf);
    encode_receipt(Receipt{3, 0x0C000005, 0x0102030405060708}, buf);
    EXPECT_EQ(Bytes(buf, buf + sizeof buf), expected);
    auto r = decode_receipt(expected.data(), expected.size());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->receiver, 3);
    EXPECT_EQ(r->registrationId, 0x0C000005);
    EXPECT_EQ(r->receiptTime, 0x0102030405060708u);
}

TEST(PeerWire, RoundTripsEdgeValues) {
    for (uint64_t t : {uint64_t{0}, uint64_t{1} << 63, UINT64_MAX})
        for (int32_t id : {1, INT32_MAX})
            for (uint8_t m : {0, 4}) {
                uint8_t buf[receipt::kSize];
                encode_receipt(Receipt{m, id, t}, buf);
                auto r = decode_receipt(buf, sizeof buf);
                ASSERT_TRUE(r);
                EXPECT_EQ(r->receiver, m);
                EXPECT_EQ(r->registrationId, id);
                EXPECT_EQ(r->receiptTime, t);
            }
}

TEST(PeerWire, RejectsAnythingThatIsNotExactlyAReceipt) {
    uint8_t good[receipt::kSize];
    encode_receipt(Receipt{1, 7, 1000}, good);
    ASSERT_TRUE(decode_receipt(good, sizeof good));

    EXPECT_FALSE(decode_receipt(good, sizeof good - 1));  // truncated
    uint8_t longer[receipt::kSize + 4] = {};
    std::memcpy(longer, good, sizeof good);
    EXPECT_FALSE(decode_receipt(longer, sizeof longer));  // oversize
    EXPECT_FALSE(decode_receipt(good, 0));

    struct Change {
        size_t offset;
        uint8_t value;
    } changes[] = {
        {receipt::kMagic, 0x4F},             // another magic
        {receipt::kVersion, 2},              // a later version
        {receipt::kType, 0},                 // an unknown type
        {receipt::kReceiver, MAX_MACHINES},  // no such machine
        {receipt::kRegistrationId + 3, 0x80},  // negative id
    };
    for (const Change &c : changes) {
        uint8_t bad[receipt::kSize];
        std::memcpy(bad, good, sizeof bad);
        bad[c.offset] = c.value;
        EXPECT_FALSE(decode_receipt(bad, sizeof bad)) << "offset " << c.offset;
    }
    uint8_t zeroId[receipt::kSize];
    encode_receipt(Receipt{1, 0, 1000}, zeroId);
    EXPECT_FALSE(decode_receipt(zeroId, sizeof zeroId));
}

TEST(PeerWire, AuthenticatedReceiptGoldenBytes) {
    Bytes expected = {
        0x4E, 0x52, 0x56, 0x44,                          // magic "NRVD"
        0x02, 0x01, 0x03, 0x00,                          // version 2, receipt, from machine 3 to 0
        0x05, 0x00, 0x00, 0x0C,                          // registration id 0x0C000005
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // receipt time
        0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,  // epoch
        0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21,  // sequence number
    };
    // The encoder leaves the code to its caller.
    uint8_t buf[receipt_v2::kSize];
    std::memset(buf, 0xEE, sizeof buf);
    encode_receipt_v2(AuthenticatedReceipt{{3, 0x0C000005, 0x0102030405060708}, 0,
                                           0x1112131415161718, 0x2122232425262728},
                      buf);
    EXPECT_EQ(Bytes(buf, buf + receipt_v2::kCode), expected);
    EXPECT_EQ(Bytes(buf + receipt_v2::kCode, buf + sizeof buf), Bytes(receipt_v2::kCodeSize, 0xEE));
    Bytes whole = expected;
    whole.resize(receipt_v2::kSize, 0xAB);  // the decoder does not judge the code
    auto a = decode_receipt_v2(whole.data(), whole.size());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->receipt.receiver, 3);
    EXPECT_EQ(a->addressee, 0);
    EXPECT_EQ(a->receipt.registrationId, 0x0C000005);
    EXPECT_EQ(a->receipt.receiptTime, 0x0102030405060708u);
    EXPECT_EQ(a->epoch, 0x1112131415161718u);
    EXPECT_EQ(a->seq, 0x2122232425262728u);
    EXPECT_EQ(message_version(whole.data(), whole.size()), kVersionAuthenticated);
    EXPECT_EQ(message_version(whole.data(), 4), std::nullopt);
}

TEST(PeerWire, AuthenticatedRoundTripsEdgeValues) {
    for (uint64_t v : {uint64_t{0}, uint64_t{1} << 63, UINT64_MAX})
        for (int32_t id : {1, INT32_MAX})
            for (uint8_t m : {0, 4}) {
                uint8_t buf[receipt_v2::kSize] = {};
                encode_receipt_v2(AuthenticatedReceipt{{m, id, v}, static_cast<uint8_t>(4 - m), ~v, v},
                                  buf);
                auto a = decode_receipt_v2(buf, sizeof buf);
                ASSERT_TRUE(a);
                EXPECT_EQ(a->receipt.receiver, m);
                EXPECT_EQ(a->addressee, 4 - m);
                EXPECT_EQ(a->receipt.registrationId, id);
                EXPECT_EQ(a->receipt.receiptTime, v);
                EXPECT_EQ(a->epoch, ~v);
                EXPECT_EQ(a->seq, v);
            }
}

TEST(PeerWire, RejectsAnythingThatIsNotExactlyAnAuthenticatedReceipt) {
    uint8_t good[receipt_v2::kSize] = {};
    encode_receipt_v2(AuthenticatedReceipt{{1, 7, 1000}, 0, 5, 6}, good);
    ASSERT_TRUE(decode_receipt_v2(good, sizeof good));
    EXPECT_FALSE(decode_receipt_v2(good, sizeof good - 1));  // truncated
    EXPECT_FALSE(decode_receipt_v2(good, receipt_v2::kCode));  // no code
    uint8_t longer[receipt_v2::kSize + 1] = {};
    std::memcpy(longer, good, sizeof good);
    EXPECT_FALSE(decode_receipt_v2(longer, sizeof longer));  // oversize
    uint8_t v1[receipt::kSize];
    encode_receipt(Receipt{1, 7, 1000}, v1);
    EXPECT_FALSE(decode_receipt_v2(v1, sizeof v1));
    EXPECT_FALSE(decode_receipt(good, sizeof good));

    struct Change {
        size_t offset;
        uint8_t value;
    } changes[] = {
        {receipt_v2::kMagic + 3, 0x45},               // another magic
        {receipt_v2::kVersion, 1},                    // version 1 at this size
        {receipt_v2::kVersion, 3},                    // a later version
        {receipt_v2::kType, 2},                       // an unknown type
        {receipt_v2::kSender, MAX_MACHINES},          // no such sender
        {receipt_v2::kAddressee, MAX_MACHINES},       // no such addressee
        {receipt_v2::kRegistrationId + 3, 0x80},      // negative id
    };
    for (const Change &c : changes) {
        uint8_t bad[receipt_v2::kSize];
        std::memcpy(bad, good, sizeof bad);
        bad[c.offset] = c.value;
        EXPECT_FALSE(decode_receipt_v2(bad, sizeof bad)) << "offset " << c.offset;
    }
    uint8_t zeroId[receipt_v2::kSize] = {};
    encode_receipt_v2(AuthenticatedReceipt{{1, 0, 1000}, 0, 5, 6}, zeroId);
    EXPECT_FALSE(decode_receipt_v2(zeroId, sizeof zeroId));
}

// The probe: its bytes in both versions, and every way of not being one.
TEST(PeerWire, ProbeGoldenBytesAndRejections) {
    Bytes expected = {
        0x4E, 0x52, 0x56, 0x44,                          // magic "NRVD"
        0x01, 0x02, 0x03, 0x01,                          // version 1, probe, machine 3 to machine 1
        0x01, 0x00, 0x00, 0x00,                          // an answer, reserved
        0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // origin
        0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,  // received
        0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21,  // transmit
    };
    Probe answer{3, 1, kProbeAnswer, 0x0102030405060708, 0x1112131415161718, 0x2122232425262728};
    uint8_t buf[probe::kSizeAuthenticated];
    encode_probe(AuthenticatedProbe{answer, 0, 0}, kVersion, buf);
    EXPECT_EQ(Bytes(buf, buf + probe::kSize), expected);
    ASSERT_TRUE(decode_probe(expected.data(), expected.size(), kVersion));
    EXPECT_EQ(decode_probe(expected.data(), expected.size(), kVersion)->probe.transmit, answer.transmit);

    encode_probe(AuthenticatedProbe{answer, 77, 9}, kVersionAuthenticated, buf);
    auto a = decode_probe(buf, probe::kSizeAuthenticated, kVersionAuthenticated);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->epoch, 77u);
    EXPECT_EQ(a->seq, 9u);
    EXPECT_EQ(a->probe.origin, answer.origin);
    EXPECT_FALSE(decode_probe(buf, probe::kSizeAuthenticated, kVersion));  // another version asked
    EXPECT_FALSE(decode_probe(buf, probe::kSize, kVersionAuthenticated));  // without the rest

    struct Change {
        const char *what;
        size_t offset;
        uint8_t value;
    } changes[] = {
        {"a receipt's type", probe::kType, kTypeReceipt},
        {"machine 5", probe::kSender, 5},
        {"for machine 5", probe::kAddressee, 5},
        {"a third kind", probe::kKind, 2},
        {"a reserved byte set", probe::kReserved + 2, 1},
        {"a request with the answerer's times", probe::kKind, kProbeRequest},
    };
    for (const Change &c : changes) {
        SCOPED_TRACE(c.what);
        Bytes b = expected;
        b[c.offset] = c.value;
        EXPECT_FALSE(decode_probe(b.data(), b.size(), kVersion));
    }
    Probe request{3, 1, kProbeRequest, 5, 0, 0};
    encode_probe(AuthenticatedProbe{request, 0, 0}, kVersion, buf);
    EXPECT_TRUE(decode_probe(buf, probe::kSize, kVersion));
    for (size_t at : {probe::kOrigin, probe::kReceived}) {
        Bytes b(buf, buf + probe::kSize);
        b[at] ^= 0x05;  // no origin, or an answerer's time in a request
        EXPECT_FALSE(decode_probe(b.data(), b.size(), kVersion)) << at;
    }
    EXPECT_FALSE(decode_receipt(buf, probe::kSize));  // a probe is no receipt
}

}  // namespace
}  // namespace norvd::peer
