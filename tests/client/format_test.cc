// format_test.cc: the exact text of answer and notice blocks.
#include <climits>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "format.h"
#include "wire.h"

namespace {

using norv::client::format_answer;
using norv::client::format_notice;
using norv::client::signed_lateness;
using norv::wire::PingPayload;

const std::string kRule = "------------------------------------\n";
const std::string kStars = "********************************************\n";

std::string answer_block(const std::string &from, const std::string &line) {
    return "Packet From " + from + ":\n" + kRule + line + "\n";
}

TEST(FormatAnswer, DividesByThousandWithTruncation) {
    struct Case {
        uint64_t sendError, sendTime;
        uint32_t seq;
        const char *line;
    };
    const Case cases[] = {
        {0, 0, 0, "Send   : time <0> us error <0> us SEQ:0\n"},
        {999, 1999, 1, "Send   : time <1> us error <0> us SEQ:1\n"},
        {1000, 1000, 7, "Send   : time <1> us error <1> us SEQ:7\n"},
        {2999999, 123456789, 42, "Send   : time <123456> us error <2999> us SEQ:42\n"},
        // Largest values: unsigned throughout, no sign anywhere.
        {UINT64_MAX, UINT64_MAX, UINT32_MAX,
         "Send   : time <18446744073709551> us error <18446744073709551> us SEQ:4294967295\n"},
        // Top bit set alone: still unsigned.
        {UINT64_C(1) << 63, UINT64_C(1) << 63, 0x80000000u,
         "Send   : time <9223372036854775> us error <9223372036854775> us SEQ:2147483648\n"},
    };
    for (const Case &c : cases) {
        PingPayload p{c.sendError, c.sendTime, c.seq};
        EXPECT_EQ(format_answer("127.0.0.1", p), answer_block("127.0.0.1", c.line)) << c.line;
    }
}

TEST(FormatAnswer, TimeAndErrorStayInTheirPlaces) {
    // sendError is the first field of the payload but is printed second.
    PingPayload p{5000, 9000, 3};
    EXPECT_EQ(format_answer("10.0.0.1", p),
              answer_block("10.0.0.1", "Send   : time <9> us error <5> us SEQ:3\n"));
}

TEST(FormatAnswer, DecodedFromWireBytes) {
    // Little-endian payload as it stands at byte 184 of the receive buffer.
    const uint8_t bytes[20] = {0xe7, 0x03, 0, 0, 0, 0, 0, 0,   // sendError 999
                               0x40, 0x42, 0x0f, 0, 0, 0, 0, 0,  // sendTime 1000000
                               0x2a, 0, 0, 0x01};                // seq 0x0100002a
    PingPayload p = norv::wire::decode_ping_payload(bytes);
    EXPECT_EQ(format_answer("192.168.1.255", p),
              answer_block("192.168.1.255", "Send   : time <1000> us error <0> us SEQ:16777258\n"));
}

TEST(FormatAnswer, LongestDottedQuadSender) {
    PingPayload p{0, 0, 0};
    std::string text = format_answer("255.255.255.255", p);
    EXPECT_EQ(text.rfind("Packet From 255.255.255.255:\n", 0), 0u);
    EXPECT_EQ(text.size(), std::string("Packet From 255.255.255.255:\n").size() + kRule.size() +
                               std::string("Send   : time <0> us error <0> us SEQ:0\n").size() + 1);
}

TEST(SignedLateness, SignByStatus) {
    struct Case {
        uint8_t status;
        int32_t lateness;
        int32_t printed;
    };
    const Case cases[] = {
        {1, 250, 250},      {1, -40, -40},      {0, -40, 40},       {0, 40, -40},
        {7, 40, -40},       {2, 40, -40},       {255, 1, -1},       {0, 0, 0},
        {1, INT32_MAX, INT32_MAX},               {0, INT32_MAX, -INT32_MAX},
        {1, INT32_MIN, INT32_MIN},               {0, INT32_MIN, INT32_MIN},
        {3, INT32_MIN, INT32_MIN},
    };
    for (const Case &c : cases)
        EXPECT_EQ(signed_lateness(c.status, c.lateness), c.printed)
            << "status " << int(c.status) << " lateness " << c.lateness;
}

FailureNotice notice_with(uint8_t sender, uint32_t seq) {
    FailureNotice n{};
    n.sender = sender;
    n.seq = seq;
    for (MachineVerdict &v : n.verdicts) v.status = 2;
    return n;
}

std::string header(const std::string &sender, const std::string &seq) {
    return kStars + "Message from: " + sender + ", Seq: " + seq + "\n" + kStars;
}

TEST(FormatNotice, AllNothingToReportGivesFiveBlankLines) {
    EXPECT_EQ(format_notice(notice_with(3, 17)), header("3", "17") + "\n\n\n\n\n");
}

TEST(FormatNotice, LargestSenderAndSeq) {
    EXPECT_EQ(format_notice(notice_with(255, UINT32_MAX)),
              header("255", "4294967295") + "\n\n\n\n\n");
}

TEST(FormatNotice, VerdictLinesPerMachine) {
    struct Case {
        uint8_t status, latenessKnown;
        int32_t lateness;
        std::string lines;  // for machine 2, before its blank line
    };
    const Case cases[] = {
        {1, 1, 250, "Timing failure on the reception (machine 2)\nlateness degree=250\n"},
        {1, 1, -7, "Timing failure on the reception (machine 2)\nlateness degree=-7\n"},
        {0, 1, -40, "Timely reception on machine 2\nlateness degree=40\n"},
        {0, 1, 40, "Timely reception on machine 2\nlateness degree=-40\n"},
        {7, 1, 5, "Timely reception on machine 2\nlateness degree=-5\n"},
        {3, 1, 0, "Timely reception on machine 2\nlateness degree=0\n"},
        {255, 1, INT32_MIN, "Timely reception on machine 2\nlateness degree=-2147483648\n"},
        {1, 1, INT32_MIN, "Timing failure on the reception (machine 2)\nlateness degree=-2147483648\n"},
        {0, 1, INT32_MAX, "Timely reception on machine 2\nlateness degree=-2147483647\n"},
        {1, 0, 250, "Timing failure on the reception (machine 2)\nLateness degree not available\n"},
        {1, 2, 250, "Timing failure on the reception (machine 2)\nLateness degree not available\n"},
        {0, 0, -40, "Timely reception on machine 2\nLateness degree not available\n"},
        {0, 2, -40, "Timely reception on machine 2\nLateness degree not available\n"},
        {9, 255, 1, "Timely reception on machine 2\nLateness degree not available\n"},
        // Status 2 hides everything, whatever the lateness fields hold.
        {2, 1, 250, ""},
    };
    for (const Case &c : cases) {
        FailureNotice n = notice_with(1, 2);
        n.verdicts[2] = MachineVerdict{c.status, c.latenessKnown, {0, 0}, c.lateness};
        EXPECT_EQ(format_notice(n), header("1", "2") + "\n\n" + c.lines + "\n\n\n")
            << "status " << int(c.status) << " known " << int(c.latenessKnown);
    }
}

TEST(FormatNotice, EveryMachineInOrder) {
    FailureNotice n = notice_with(0, 0);
    n.verdicts[0] = MachineVerdict{1, 1, {0, 0}, 250};
    n.verdicts[1] = MachineVerdict{0, 1, {0, 0}, -40};
    n.verdicts[3] = MachineVerdict{7, 0, {0, 0}, 99};
    n.verdicts[4] = MachineVerdict{0, 1, {0, 0}, INT32_MIN};
    EXPECT_EQ(format_notice(n), header("0", "0") +
                                    "Timing failure on the reception (machine 0)\n"
                                    "lateness degree=250\n\n"
                                    "Timely reception on machine 1\n"
                                    "lateness degree=40\n\n"
                                    "\n"
                                    "Timely reception on machine 3\n"
                                    "Lateness degree not available\n\n"
                                    "Timely reception on machine 4\n"
                                    "lateness degree=-2147483648\n\n");
}

TEST(FormatNotice, DecodedFromWireBytesIgnoresReservedBytes) {
    uint8_t bytes[norv::wire::notice::kSize];
    // Reserved bytes full of noise must not change the text.
    for (uint8_t &b : bytes) b = 0xAA;
    bytes[1] = 4;                                   // sender
    bytes[4] = 0x10; bytes[5] = 0; bytes[6] = 0; bytes[7] = 0;  // seq 16
    for (int i = 0; i < MAX_MACHINES; ++i) {
        uint8_t *v = bytes + 8 + 8 * i;
        v[0] = 2;  // nothing to report...
        v[1] = 1;
    }
    uint8_t *v1 = bytes + 8 + 8 * 1;  // ...except machine 1: failure, lateness 0x01020304
    v1[0] = 1;
    v1[4] = 0x04; v1[5] = 0x03; v1[6] = 0x02; v1[7] = 0x01;
    FailureNotice n = norv::wire::decode_failure_notice(bytes);
    EXPECT_EQ(format_notice(n), header("4", "16") +
                                    "\n"
                                    "Timing failure on the reception (machine 1)\n"
                                    "lateness degree=16909060\n\n"
                                    "\n\n\n");
}

}  // namespace
