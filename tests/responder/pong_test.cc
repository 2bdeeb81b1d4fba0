// NORVpong's answers: a scripted service on the control channel and real
// loopback UDP sockets for the pinger and the responder.
#include <arpa/inet.h>
#include <poll.h>

#include <gtest/gtest.h>

#include "pong.h"
#include "pong_json.h"
#include "support/scripted_peer.h"
#include "wire.h"

namespace norvpong {
namespace {

using namespace norv::wire;
using norv::test::Bytes;
using norv::test::cat;
using norv::test::head;
using norv::test::le32;
using norv::test::le64;

sockaddr_in loopback(uint16_t port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int bound_socket(sockaddr_in &addr) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    addr = loopback();
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    return fd;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

class PongTest : public ::testing::Test {
protected:
    void SetUp() override {
        init_session(&socket_, 0);
        socket_.requestFd = peer_.fd();
        socket_.udpSocket = bound_socket(responder_);
        pinger_ = bound_socket(pingerAddr_);
    }
    void TearDown() override {
        close(socket_.udpSocket);
        close(pinger_);
    }

    // A ping as a timed datagram without echoes.
    void send_ping(uint8_t kind, int32_t registrationId, uint64_t sendStamp, uint64_t elapsed) {
        uint8_t dgram[TIMED_HEADER_SIZE + ping::kSize] = {};
        put_u8(dgram, header::kSenderId, 0);
        put_u8(dgram, header::kKind, kind);
        put_u64le(dgram, header::kSendStamp, sendStamp);
        put_u64le(dgram, header::kElapsed, elapsed);
        put_i32le(dgram, header::kRegistrationId, registrationId);
        encode_ping_payload(PingPayload{11, 22, 33}, dgram + TIMED_HEADER_SIZE);
        ASSERT_EQ(sendto(pinger_, dgram, sizeof dgram, 0, reinterpret_cast<sockaddr *>(&responder_),
                         sizeof responder_),
                  static_cast<ssize_t>(sizeof dgram));
        ASSERT_TRUE(readable(socket_.udpSocket));
    }

    int answer() {
        Intake in = answer_waiting(socket_, answered_,
                                   [this](const PingRecord &r) { records_.push_back(r); });
        EXPECT_FALSE(in.receiveFailed);
        clockFailed_ = in.clockFailed;
        return in.answered;
    }

    norv::test::ScriptedPeer peer_;
    TimedSocket socket_{};
    sockaddr_in responder_{}, pingerAddr_{};
    int pinger_ = -1;
    uint32_t answered_ = 0;
    bool clockFailed_ = false;
    std::vector<PingRecord> records_;
};

TEST_F(PongTest, AnswersAPingWithItsEstimateFromTheReceiptStamp) {
    peer_.reply(cat({le64(1000), le64(5000)}));  // clock at receipt, clock at the answer
    send_ping(0, 0, 500, 100);
    EXPECT_EQ(answer(), 1);
    EXPECT_EQ(answered_, 1u);
    // One clock read for the receipt, one for the answer; a plain ping needs no receipt.
    EXPECT_EQ(peer_.written(), cat({head(2, 0), head(2, 0)}));

    ASSERT_TRUE(readable(pinger_));
    uint8_t got[512];
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n = recvfrom(pinger_, got, sizeof got, 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
    ASSERT_EQ(n, TIMED_HEADER_SIZE + ping::kSize);
    EXPECT_EQ(from.sin_port, responder_.sin_port);
    EXPECT_EQ(get_u8(got, header::kKind), 0);
    EXPECT_EQ(get_i32le(got, header::kRegistrationId), 0);  // a plain send
    EXPECT_EQ(get_u64le(got, header::kSendStamp), 5000u);
    EXPECT_EQ(get_u64le(got, header::kElapsed), 4000u);  // from the ping's receipt stamp
    PingPayload p = decode_ping_payload(got + TIMED_HEADER_SIZE);
    // The first datagram from a machine carries no echo: estimate 0, no bound.
    EXPECT_EQ(p.sendTime, 0u);
    EXPECT_EQ(p.sendError, UINT64_MAX);
    EXPECT_EQ(p.seq, 1u);
    ASSERT_EQ(records_.size(), 1u);
    const PingRecord &r = records_[0];
    EXPECT_EQ(r.from.sin_port, pingerAddr_.sin_port);
    EXPECT_EQ(r.sender, 0);
    EXPECT_EQ(r.registration, 0);
    EXPECT_EQ(r.startStamp, 400u);  // the ping's send stamp less its elapsed time
    EXPECT_EQ(r.receiptStamp, 1000u);
    EXPECT_EQ(r.estimate, 0u);
    EXPECT_EQ(r.error, UINT64_MAX);
    EXPECT_EQ(r.answer, 1u);
}

TEST_F(PongTest, RefusedAndSkippedDatagramsGetNoAnswer) {
    send_ping(1, 0, 500, 0);  // another kind: skipped without a clock read
    peer_.reply(cat({le64(1000), le32(1)}));  // receipt refused: a repeated datagram
    send_ping(0, 7, 600, 0);
    EXPECT_EQ(answer(), 0);
    EXPECT_EQ(answered_, 0u);
    Bytes receipt(16, 0);
    put_i32le(receipt.data(), 0, 7);
    put_u64le(receipt.data(), 4, 1000);
    EXPECT_EQ(peer_.written(), cat({head(2, 0), head(10, 16), receipt}));
    pollfd p{pinger_, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0);

    // An accepted registered ping is answered, numbered after the pings answered before.
    answered_ = 41;
    peer_.reply(cat({le64(2000), le32(0), le64(2500)}));
    send_ping(0, 8, 700, 0);
    EXPECT_EQ(answer(), 1);
    ASSERT_TRUE(readable(pinger_));
    uint8_t got[512];
    ASSERT_EQ(recv(pinger_, got, sizeof got, 0), TIMED_HEADER_SIZE + ping::kSize);
    EXPECT_EQ(decode_ping_payload(got + TIMED_HEADER_SIZE).seq, 42u);
    // Only the answered ping is recorded, with its own registration and stamps.
    ASSERT_EQ(records_.size(), 1u);
    EXPECT_EQ(records_[0].registration, 8);
    EXPECT_EQ(records_[0].startStamp, 700u);
    EXPECT_EQ(records_[0].receiptStamp, 2000u);
    EXPECT_EQ(records_[0].answer, 42u);
}

TEST_F(PongTest, APingTakenInWithoutAClockReadingIsNotAnswered) {
    // The first ping is answered; then the service goes away: the clock read
    // of the next receipt finds end of file and gives all bits set, which an
    // answer would carry as its start stamp.
    peer_.reply(cat({le64(1000), le64(1500)}));
    send_ping(0, 0, 500, 0);
    send_ping(0, 0, 600, 0);
    peer_.hang_up();
    EXPECT_EQ(answer(), 1);
    EXPECT_TRUE(clockFailed_);
    EXPECT_EQ(answered_, 1u);
    EXPECT_EQ(records_.size(), 1u);
    ASSERT_TRUE(readable(pinger_));
    uint8_t got[512];
    ASSERT_EQ(recv(pinger_, got, sizeof got, 0), TIMED_HEADER_SIZE + ping::kSize);
    EXPECT_EQ(get_u64le(got, header::kSendStamp), 1500u);
    pollfd p{pinger_, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "an answer with a failed clock reading went out";
}

TEST(ReconnectDelay, DoublesFrom100MillisecondsUpTo5Seconds) {
    struct Case {
        unsigned attempt;
        int ms;
    } cases[] = {
        {0, 100},    {1, 100},    {2, 200},    {3, 400},    {4, 800},     {5, 1600},
        {6, 3200},   {7, 5000},   {8, 5000},   {31, 5000},  {32, 5000},   {33, 5000},
        {64, 5000},  {65, 5000},  {UINT32_MAX, 5000},
    };
    for (const Case &c : cases)
        EXPECT_EQ(reconnect_delay(c.attempt).count(), c.ms) << "attempt " << c.attempt;
}

TEST(PingLine, Format) {
    sockaddr_in from = loopback(40000);
    struct Case {
        uint64_t estimate, error;
        uint32_t seq;
        const char *line;
    } cases[] = {
        {0, UINT64_MAX, 1, "Ping from 127.0.0.1:40000: estimate 0 us error unknown, answer 1"},
        {1999, UNKNOWN_DELAY_ERROR, 2, "Ping from 127.0.0.1:40000: estimate 1 us error unknown, answer 2"},
        {433'999, 129'001, 3, "Ping from 127.0.0.1:40000: estimate 433 us error 129 us, answer 3"},
        {0, UNKNOWN_DELAY_ERROR - 1, 4294967295u,
         "Ping from 127.0.0.1:40000: estimate 0 us error 72057594037927 us, answer 4294967295"},
    };
    for (const Case &c : cases) EXPECT_EQ(ping_line(from, c.estimate, c.error, c.seq), c.line);
}

TEST(PingJson, Format) {
    struct Case {
        PingRecord r;
        const char *json;
    } cases[] = {
        {{loopback(40000), 0, 0, 400, 1000, 0, UINT64_MAX, 1},
         R"({"from": "127.0.0.1:40000", "sender": 0, "registration": 0, "start_stamp": 400, )"
         R"("receipt_stamp": 1000, "estimate_ns": 0, "error_ns": null, "answer": 1})"},
        // An error bound just below the unknown one is a bound; the unknown one is none.
        {{loopback(1), 4, 0x13FFFFFF, UINT64_MAX, 1ull << 63, 433'999, UNKNOWN_DELAY_ERROR - 1, 4294967295u},
         R"({"from": "127.0.0.1:1", "sender": 4, "registration": 335544319, )"
         R"("start_stamp": 18446744073709551615, "receipt_stamp": 9223372036854775808, )"
         R"("estimate_ns": 433999, "error_ns": 72057594037927934, "answer": 4294967295})"},
        {{loopback(16006), 2, -5, 0, 0, 0, UNKNOWN_DELAY_ERROR, 7},
         R"({"from": "127.0.0.1:16006", "sender": 2, "registration": -5, "start_stamp": 0, )"
         R"("receipt_stamp": 0, "estimate_ns": 0, "error_ns": null, "answer": 7})"},
    };
    for (const Case &c : cases) EXPECT_EQ(ping_json(c.r), c.json);
}

}  // namespace
}  // namespace norvpong
