// Measurements, timely executions and local failure detections: the exact
// request bytes, reply handling and untouched results on a non-zero status.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "norv.h"
#include "support/scripted_peer.h"

using namespace norv::test;

namespace {

ActivityNames names_of(const std::string &module, const std::string &activity,
                       const std::string &wcet) {
    ActivityNames n;
    std::memset(&n, 0x77, sizeof n);  // bytes past each terminator must not travel
    std::memcpy(n.moduleName, module.data(), std::min<size_t>(module.size() + 1, 50));
    std::memcpy(n.activityName, activity.data(), std::min<size_t>(activity.size() + 1, 50));
    std::memcpy(n.wcetName, wcet.data(), std::min<size_t>(wcet.size() + 1, 50));
    return n;
}

// A name field as it must arrive: the name, then zeros up to the width.
Bytes field(const std::string &name, size_t width) {
    Bytes b(name.begin(), name.begin() + std::min(name.size(), width));
    b.resize(width, 0);
    return b;
}

}  // namespace

TEST(Timeliness, StartMeasurementWrites16Bytes) {
    ScriptedPeer peer;
    peer.reply(le32(0xFFFFFFF9));
    EXPECT_EQ(startNORVMeasurement(peer.fd(), 0x0102030405060708ULL), -7);
    EXPECT_EQ(peer.written(), cat({head(4, 8), le64(0x0102030405060708ULL)}));
}

TEST(Timeliness, EndMeasurementStatusHandling) {
    struct Case {
        uint8_t status;
        int expected;
    } cases[] = {{0, 0}, {255, -1}, {1, 1}, {128, -128}};
    for (const Case &c : cases) {
        ScriptedPeer peer;
        // Bytes 1 to 3 are padding and must be ignored whatever they hold.
        peer.reply(cat({Bytes{c.status, 9, 9, 9}, le64(111), le64(UINT64_MAX)}));
        uint64_t first = 5, second = 6;
        EXPECT_EQ(endNORVMeasurement(peer.fd(), -3, &first, &second), c.expected);
        EXPECT_EQ(peer.written(), cat({head(5, 4), le32(0xFFFFFFFD)}));
        if (c.status == 0) {
            EXPECT_EQ(first, 111u);
            EXPECT_EQ(second, UINT64_MAX);
        } else {
            EXPECT_EQ(first, 5u) << int(c.status);
            EXPECT_EQ(second, 6u) << int(c.status);
        }
    }
}

TEST(Timeliness, StartExecLaysOutValuesNamesAndText) {
    struct Case {
        std::string module, activity, wcet, text;
    } cases[] = {
        {"appmod1", "timelyExec", "timelyExec_wcet", "abc"},
        {std::string(50, 'M'), std::string(49, 'A'), "", std::string(25, 'T')},
        {"", std::string(50, 'a'), std::string(50, 'w'), std::string(20, 'x')},
    };
    for (const Case &c : cases) {
        ScriptedPeer peer;
        peer.reply(le64(0xDEADBEEFCAFEF00DULL));
        EXPECT_EQ(startNORVExec(peer.fd(), 1, 2, UINT64_MAX, names_of(c.module, c.activity, c.wcet),
                                c.text.c_str()),
                  0xDEADBEEFCAFEF00DULL);
        Bytes expected = cat({head(6, 196), le64(1), le64(2), le64(UINT64_MAX), field(c.module, 50),
                              field(c.activity, 50), field(c.wcet, 50), field(c.text, 20),
                              zeros(2)});
        ASSERT_EQ(expected.size(), 204u);
        EXPECT_EQ(peer.written(), expected) << c.module;
    }
}

TEST(Timeliness, StartLocalFDLaysOutValuesAndNames) {
    ScriptedPeer peer;
    peer.reply(le32(42));
    EXPECT_EQ(startNORVlocalFD(peer.fd(), 7, 8, 9, names_of("appmod1", std::string(50, 'z'), "w")),
              42);
    Bytes expected = cat({head(7, 176), le64(7), le64(8), le64(9), field("appmod1", 50),
                          field(std::string(50, 'z'), 50), field("w", 50), zeros(2)});
    ASSERT_EQ(expected.size(), 184u);
    EXPECT_EQ(peer.written(), expected);
}

TEST(Timeliness, EndLocalFDStatusHandling) {
    for (int32_t status : {0, 7, -1}) {
        ScriptedPeer peer;
        peer.reply(cat({le32(static_cast<uint32_t>(status)), le64(10), le64(20), Bytes{1, 9, 9, 9}}));
        uint64_t first = 5, second = 6;
        uint8_t byte = 3;
        EXPECT_EQ(endNORVlocalFD(peer.fd(), 12, &first, &second, &byte), status);
        EXPECT_EQ(peer.written(), cat({head(8, 4), le32(12)}));
        if (status == 0) {
            EXPECT_EQ(first, 10u);
            EXPECT_EQ(second, 20u);
            EXPECT_EQ(byte, 1);
        } else {
            EXPECT_EQ(first, 5u);
            EXPECT_EQ(second, 6u);
            EXPECT_EQ(byte, 3);
        }
    }
}

TEST(Timeliness, FailedExchangesLeaveResultsAlone) {
    uint64_t first = 5, second = 6;
    uint8_t byte = 3;
    ActivityNames n = names_of("a", "b", "c");
    EXPECT_EQ(startNORVMeasurement(-1, 1), -1);
    EXPECT_EQ(endNORVMeasurement(-1, 1, &first, &second), -1);
    EXPECT_EQ(startNORVExec(-1, 1, 2, 3, n, "t"), UINT64_MAX);
    EXPECT_EQ(startNORVlocalFD(-1, 1, 2, 3, n), -1);
    EXPECT_EQ(endNORVlocalFD(-1, 1, &first, &second, &byte), -1);

    // The service ends before the whole reply: a failure, results untouched.
    ScriptedPeer peer;
    peer.reply(Bytes(10, 0));
    peer.hang_up();
    EXPECT_EQ(endNORVlocalFD(peer.fd(), 1, &first, &second, &byte), -1);
    EXPECT_EQ(first, 5u);
    EXPECT_EQ(second, 6u);
    EXPECT_EQ(byte, 3);
}
