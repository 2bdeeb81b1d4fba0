// The receipt message that norvds send each other.
#include <gtest/gtest.h>

#include "peer_wire.h"
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

}  // namespace
}  // namespace norvd::peer
