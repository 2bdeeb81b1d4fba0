// norvd's replies to every command, alone and in a group of machines.
#include <gtest/gtest.h>

#include "core/commands.h"
#include "support/scripted_peer.h"
#include "wire.h"

namespace norvd {
namespace {

using namespace norv::wire;
using norv::test::Bytes;
using norv::test::cat;
using norv::test::le32;
using norv::test::le64;
using norv::test::zeros;

constexpr uint64_t kNow = 1'700'000'000'000'000'000;  // a true time
constexpr int kConn = 4;

class ServiceTest : public ::testing::Test {
protected:
    explicit ServiceTest(ServiceConfig config = {})
        : log_([this](const std::string &l) { lines_.push_back(l); }, [this] { return logNow_; },
               Severity::kDebug),
          service_(config, log_) {}

    Outcome run(int32_t command, const Bytes &payload, uint64_t now = kNow, int conn = kConn) {
        return service_.handle(conn, Request{command, payload}, BaseTime(now));
    }
    static Bytes register_payload(uint64_t start, uint8_t machines, uint64_t deadline) {
        Bytes p(register_send::kSize, 0);
        put_u64le(p.data(), register_send::kStartStamp, start);
        put_u64le(p.data(), register_send::kFirst, 490);
        put_u64le(p.data(), register_send::kSecond, deadline);
        put_u8(p.data(), register_send::kValue8, machines);
        put_i32le(p.data(), register_send::kValue32, NORV_PING_PORT);
        put_name(p.data(), register_send::kModuleName, "appmod1", register_send::kNameWidth);
        return p;
    }
    static Bytes receipt_payload(int32_t id, uint64_t at, uint8_t sender) {
        Bytes p(receipt::kSize, 0);
        put_i32le(p.data(), receipt::kRegistrationId, id);
        put_u64le(p.data(), receipt::kReceiptTime, at);
        put_u8(p.data(), receipt::kSender, sender);
        return p;
    }
    static int32_t reply_value(const Outcome &o) {
        EXPECT_EQ(o.reply.size(), 4u);
        return o.reply.size() == 4 ? get_i32le(o.reply.data(), 0) : INT32_MIN;
    }
    bool logged(const std::string &part) const {
        for (const auto &l : lines_)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }

    std::vector<std::string> lines_;
    BaseTime logNow_{kNow};  // the log's clock, for its rate limits
    Log log_;
    Service service_;
};

TEST_F(ServiceTest, ClockAndMachineId) {
    Outcome clock = run(command::kTimestamp, {});
    EXPECT_EQ(clock.reply, le64(kNow));
    EXPECT_FALSE(clock.disconnect);
    EXPECT_EQ(run(command::kMachineId, {}).reply, le32(0));
}

TEST_F(ServiceTest, Measurement) {
    int32_t handle = reply_value(run(command::kStartMeasurement, le64(42), kNow));
    ASSERT_GT(handle, 0);
    Outcome end = run(command::kEndMeasurement, le32(handle), kNow + 1234);
    EXPECT_EQ(end.reply, cat({Bytes{0, 0, 0, 0}, le64(kNow), le64(1234)}));
    // Ended once: the handle is gone; unknown handles give status -1.
    Outcome again = run(command::kEndMeasurement, le32(handle), kNow + 2000);
    ASSERT_EQ(again.reply.size(), 20u);
    EXPECT_EQ(static_cast<int8_t>(again.reply[0]), -1);
    EXPECT_EQ(run(command::kEndMeasurement, le32(-5)).reply[0], 0xFF);
}

TEST_F(ServiceTest, LocalFailureDetection) {
    Bytes start(exec_request::kLocalFDSize, 0);
    put_u64le(start.data(), exec_request::kFirst, 1000);  // longest duration that is not a failure
    put_name(start.data(), exec_request::kModuleName, "mod", exec_request::kNameWidth);
    struct Case {
        uint64_t duration;
        uint8_t failed;
    } cases[] = {{0, 0}, {1000, 0}, {1001, 1}, {5'000'000, 1}};
    for (const Case &c : cases) {
        int32_t handle = reply_value(run(command::kStartLocalFD, start, kNow));
        ASSERT_GT(handle, 0);
        Outcome end = run(command::kEndLocalFD, le32(handle), kNow + c.duration);
        EXPECT_EQ(end.reply, cat({le32(0), le64(kNow), le64(c.duration), Bytes{c.failed, 0, 0, 0}}))
            << "duration " << c.duration;
    }
    Outcome unknown = run(command::kEndLocalFD, le32(77));
    ASSERT_EQ(unknown.reply.size(), 24u);
    EXPECT_EQ(get_i32le(unknown.reply.data(), 0), kUnknownHandle);
}

TEST_F(ServiceTest, EndOfTheOtherKindIsUnknown) {
    int32_t m = reply_value(run(command::kStartMeasurement, le64(0)));
    Outcome end = run(command::kEndLocalFD, le32(m));
    EXPECT_EQ(get_i32le(end.reply.data(), 0), kUnknownHandle);
    EXPECT_EQ(run(command::kEndMeasurement, le32(m)).reply[0], 0);  // still running, ends fine
}

// A handle is small and sequential: any connection can guess another's. Only
// the connection that started an activity ends it, and a connection that ends
// takes its activities along, also from a later connection with its number.
TEST_F(ServiceTest, OnlyTheConnectionThatStartedAnActivityEndsIt) {
    constexpr int kOther = 6;
    Bytes localFD(exec_request::kLocalFDSize, 0);
    put_u64le(localFD.data(), exec_request::kFirst, 1000);
    struct Row {
        const char *what;
        bool detection;  // commands 7 and 8, else 4 and 5
        int closed;      // connection that ends after the start, 0: none
        std::vector<std::pair<int, int32_t>> ends;  // connection, status, in order
    } rows[] = {
        {"measurement ended by another", false, 0, {{kOther, -1}, {kConn, 0}, {kConn, -1}}},
        {"detection ended by another", true, 0, {{kOther, -1}, {kOther, -1}, {kConn, 0}}},
        {"measurement after another left", false, kOther, {{kConn, 0}}},
        {"detection after another left", true, kOther, {{kConn, 0}}},
        {"measurement of a connection that ended", false, kConn, {{kConn, -1}, {kOther, -1}}},
        {"detection of a connection that ended", true, kConn, {{kOther, -1}, {kConn, -1}}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        int32_t handle = reply_value(r.detection ? run(command::kStartLocalFD, localFD)
                                            : run(command::kStartMeasurement, le64(7)));
        ASSERT_GT(handle, 0);
        if (r.closed != 0) service_.connection_closed(r.closed);
        for (const auto &[conn, status] : r.ends) {
            Outcome end = run(r.detection ? command::kEndLocalFD : command::kEndMeasurement,
                              le32(handle), kNow + 5, conn);
            ASSERT_EQ(end.reply.size(), r.detection ? 24u : 20u);
            int32_t got = r.detection ? get_i32le(end.reply.data(), 0)
                                      : static_cast<int8_t>(end.reply[0]);
            EXPECT_EQ(got, status) << "channel " << conn;
            // A refusal tells nothing of the activity it names.
            if (status != 0) {
                EXPECT_EQ(Bytes(end.reply.begin() + 4, end.reply.end()), zeros(end.reply.size() - 4));
            }
        }
    }
}

TEST_F(ServiceTest, TimelyExecutionReturnsItsAbsoluteDeadline) {
    Bytes p(exec_request::kExecSize, 0);
    put_u64le(p.data(), exec_request::kFirst, 5'000'000);
    put_name(p.data(), exec_request::kText, "twenty-characters-and-more", exec_request::kTextWidth);
    EXPECT_EQ(run(command::kStartExec, p).reply, le64(kNow + 5'000'000));
    EXPECT_TRUE(logged("\"twenty-characters-an\""));
    put_u64le(p.data(), exec_request::kFirst, UINT64_MAX);
    EXPECT_EQ(run(command::kStartExec, p).reply, le64(kMaxServiceTime));  // top bit never set
}

TEST_F(ServiceTest, RegistrationAndLocalReceiptGiveATimelyVerdict) {
    int32_t id = reply_value(run(command::kRegisterSend, register_payload(kNow, 31, 2'000'000)));
    ASSERT_GT(id, 0);
    EXPECT_TRUE(logged("appmod1"));
    Outcome r = run(command::kReceipt, receipt_payload(id, kNow + 300'000, 0), kNow + 400'000, 9);
    EXPECT_EQ(reply_value(r), 0);
    EXPECT_FALSE(r.forward);
    auto due = service_.take_due(BaseTime(kNow + 400'000));
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].connection, kConn);  // to the connection that registered
    EXPECT_EQ(due[0].notice.seq, static_cast<uint32_t>(id));
    EXPECT_EQ(due[0].notice.verdicts[0].status, kTimely);
    EXPECT_EQ(due[0].notice.verdicts[0].latenessKnown, 1);
    EXPECT_EQ(due[0].notice.verdicts[0].lateness, -1700);
    for (int i = 1; i < MAX_MACHINES; ++i) EXPECT_EQ(due[0].notice.verdicts[i].status, kNothingToReport);
}

TEST_F(ServiceTest, RegistrationRefusals) {
    constexpr int32_t kNoReceiver = NORV_REFUSED_NO_RECEIVER, kTableFull = NORV_REFUSED_TABLE_FULL;
    EXPECT_EQ(reply_value(run(command::kRegisterSend, register_payload(kNow, 0, 2'000'000))), kNoReceiver);
    EXPECT_EQ(reply_value(run(command::kRegisterSend, register_payload(kNow, 0x1E, 2'000'000))), kNoReceiver);
    EXPECT_EQ(reply_value(run(command::kRegisterSend, register_payload(kNow, 31, 0))), kNoReceiver);
    // The table holds 4096 registrations, which root's connection may fill;
    // the next one is refused until one is judged.
    service_.set_account(kConn, Account::of(0));
    for (int i = 0; i < 4096; ++i)
        ASSERT_GT(reply_value(run(command::kRegisterSend, register_payload(kNow, 1, 2'000'000 + i))), 0);
    EXPECT_EQ(reply_value(run(command::kRegisterSend, register_payload(kNow, 1, 1))), kTableFull);
    EXPECT_EQ(service_.pending_registrations(), 4096u);
    auto due = service_.take_due(BaseTime(kNow + 2'000'000 + 100'000'000));
    ASSERT_EQ(due.size(), 1u);
    EXPECT_GT(reply_value(run(command::kRegisterSend, register_payload(kNow, 1, 1))), 0);
}

// A connection's registrations are charged to its user: one that holds its
// share is refused, by uid in the log, whichever its connection, while root
// registers; the share comes back as registrations are judged and as a
// connection closes, and a later connection with that number is no longer
// that user's.
TEST_F(ServiceTest, RegistrationsWithinTheUsersShare) {
    constexpr int32_t kTableFull = NORV_REFUSED_TABLE_FULL;
    constexpr int kOther = 6, kRoots = 8;
    constexpr uint64_t kJudged = kNow + 2'000'000 + 100'000'000;  // the first one's deadline and grace
    auto registered = [&](int conn, uint64_t deadline) {
        return reply_value(run(command::kRegisterSend, register_payload(kNow, 1, deadline), kNow, conn));
    };
    service_.set_account(kConn, Account::of(1000));
    service_.set_account(kOther, Account::of(1000));
    service_.set_account(kRoots, Account::of(0));
    for (int i = 0; i < 1024; ++i) ASSERT_GT(registered(i % 2 ? kConn : kOther, 2'000'000 + i), 0);
    EXPECT_EQ(registered(kConn, 60'000'000'000), kTableFull);
    EXPECT_TRUE(logged("<4>norvd: channel 4: registration refused (-12): uid 1000 holds 1024 pending "
                       "registrations, its share of the 4096"));
    EXPECT_GT(registered(kRoots, 60'000'000'000), 0);

    ASSERT_EQ(service_.take_due(BaseTime(kJudged)).size(), 1u);
    EXPECT_GT(registered(kConn, 60'000'000'000), 0);
    EXPECT_EQ(registered(kConn, 60'000'000'000), kTableFull);

    service_.connection_closed(kOther);  // its 511 pending go
    EXPECT_EQ(service_.pending_registrations(), 1024u - 511 + 1);
    EXPECT_GT(registered(kConn, 60'000'000'000), 0);
    // Channel 6 again, its user not told yet: the unknown owner's, with a
    // share of its own.
    for (int i = 0; i < 1024; ++i) ASSERT_GT(registered(kOther, 60'000'000'000), 0);
    EXPECT_EQ(registered(kOther, 60'000'000'000), kTableFull);
}

TEST_F(ServiceTest, DuplicateAndInvalidReceipts) {
    int32_t id = reply_value(run(command::kRegisterSend, register_payload(kNow, 1, 2'000'000)));
    EXPECT_EQ(reply_value(run(command::kReceipt, receipt_payload(id, kNow, 0))), 0);
    EXPECT_EQ(reply_value(run(command::kReceipt, receipt_payload(id, kNow, 0))), kReceiptRepeated);
    EXPECT_EQ(reply_value(run(command::kReceipt, receipt_payload(id, kNow + 5, 0))), kReceiptRepeated);
    EXPECT_EQ(reply_value(run(command::kReceipt, receipt_payload(0, kNow, 0))), kReceiptInvalid);
    EXPECT_EQ(reply_value(run(command::kReceipt, receipt_payload(-3, kNow, 0))), kReceiptInvalid);
    EXPECT_EQ(reply_value(run(command::kReceipt, receipt_payload(id, kNow, 5))), kReceiptInvalid);
    // An id that machine 2 handed out, claimed by machine 1.
    EXPECT_EQ(reply_value(run(command::kReceipt, receipt_payload((2 << kIdMachineShift) | 1, kNow, 1))),
              kReceiptInvalid);
}

TEST_F(ServiceTest, ClientsThatLeaveTakeTheirStateAlong) {
    int32_t id = reply_value(run(command::kRegisterSend, register_payload(kNow, 1, 2'000'000)));
    int32_t m = reply_value(run(command::kStartMeasurement, le64(0)));
    service_.connection_closed(kConn);
    EXPECT_EQ(service_.pending_registrations(), 0u);
    EXPECT_EQ(run(command::kEndMeasurement, le32(m)).reply[0], 0xFF);
    EXPECT_EQ(reply_value(run(command::kReceipt, receipt_payload(id, kNow, 0))), 0);
    EXPECT_TRUE(logged("no longer pending"));
}

TEST_F(ServiceTest, CommandsWithoutReply) {
    Outcome bye = run(command::kDisconnect, {});
    EXPECT_TRUE(bye.disconnect);
    EXPECT_TRUE(bye.reply.empty());
    EXPECT_TRUE(run(command::kBindServer, le32(12)).reply.empty());
    EXPECT_TRUE(logged("server 12 bound"));
    EXPECT_TRUE(run(command::kSocketClose, le32(12)).reply.empty());
    EXPECT_TRUE(logged("socket of server 12 closed"));
    // Command 0 belongs on /dev/rtf1 only.
    EXPECT_TRUE(run(command::kConnect, {}).reply.empty());
}

TEST_F(ServiceTest, MalformedRequestsGetNoReplyAndAreLogged) {
    struct Case {
        int32_t command;
        size_t payload;
        const char *log;
    } cases[] = {
        {13, 0, "unknown command 13"},   {-1, 4, "unknown command -1"},
        {2, 4, "command 2 with 4"},      {9, 180, "command 9 with 180"},
        {10, 20, "command 10 with 20"},  {5, 8, "command 5 with 8"},
    };
    for (const Case &c : cases) {
        logNow_ += RateLimit::kIntervalNs;  // a second apart: each one has its line
        Outcome o = run(c.command, zeros(c.payload));
        EXPECT_TRUE(o.reply.empty()) << c.log;
        EXPECT_FALSE(o.disconnect);
        EXPECT_TRUE(logged("<4>norvd: channel 4: " + std::string(c.log))) << c.log;
    }
    // A client that repeats them as fast as it can gets one line a second.
    lines_.clear();
    logNow_ += RateLimit::kIntervalNs;
    for (int i = 0; i < 1000; ++i) run(13, {});
    EXPECT_EQ(lines_.size(), 1u);
    logNow_ += RateLimit::kIntervalNs;
    run(-1, zeros(4));
    ASSERT_EQ(lines_.size(), 2u);
    EXPECT_EQ(lines_[1], "<4>norvd: channel 4: unknown command -1 (4 payload bytes) ignored "
                         "(999 more suppressed)\n");
}

// Names and texts are the client's bytes: whatever they hold, each request
// gives one line, which shows them escaped.
TEST_F(ServiceTest, ClientBytesAreEscapedInTheLog) {
    // 16 bytes: they fit the text of command 6 as well.
    const std::string forged = "\n<3>norvd: x\\\x7f\xff";
    const std::string shown = "\\x0a<3>norvd: x\\x5c\\x7f\\xff";
    Bytes exec(exec_request::kExecSize, 0), localFD(exec_request::kLocalFDSize, 0);
    Bytes registration = register_payload(kNow, 1, 2'000'000);
    struct Row {
        int32_t command;
        Bytes *payload;
        size_t field, width;
    } rows[] = {
        {command::kStartExec, &exec, exec_request::kModuleName, exec_request::kNameWidth},
        {command::kStartExec, &exec, exec_request::kWcetName, exec_request::kNameWidth},
        {command::kStartExec, &exec, exec_request::kText, exec_request::kTextWidth},
        {command::kStartLocalFD, &localFD, exec_request::kActivityName, exec_request::kNameWidth},
        {command::kRegisterSend, &registration, register_send::kModuleName, register_send::kNameWidth},
        {command::kRegisterSend, &registration, register_send::kWcetName, register_send::kNameWidth},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "command " << r.command << " field " << r.field);
        Bytes p = *r.payload;
        put_name(p.data(), r.field, forged.c_str(), r.width);
        lines_.clear();
        run(r.command, p);
        ASSERT_EQ(lines_.size(), 1u);
        EXPECT_NE(lines_[0].find(shown), std::string::npos) << lines_[0];
        EXPECT_EQ(lines_[0].find('\n'), lines_[0].size() - 1) << lines_[0];
    }
}

class GroupServiceTest : public ServiceTest {
protected:
    static ServiceConfig config() {
        ServiceConfig c;
        c.localId = 1;
        c.groupMask = 0x07;  // machines 0, 1, 2
        c.clock = ServiceClock(5'000'000, 0.0, BaseTime(kNow));  // clients see the clock 5 ms ahead
        return c;
    }
    GroupServiceTest() : ServiceTest(config()) {}
};

TEST_F(GroupServiceTest, ReceiptOfAPeersDatagramIsForwardedInTrueTime) {
    EXPECT_EQ(run(command::kMachineId, {}).reply, le32(1));
    int32_t peerId = (2 << kIdMachineShift) | 9;
    Outcome o = run(command::kReceipt, receipt_payload(peerId, kNow + 5'000'000 + 77, 2));
    EXPECT_EQ(reply_value(o), 0);
    ASSERT_TRUE(o.forward);
    EXPECT_EQ(o.forward->machine, 2);
    EXPECT_EQ(o.forward->receipt.receiver, 1);
    EXPECT_EQ(o.forward->receipt.registrationId, peerId);
    EXPECT_EQ(o.forward->receipt.receiptTime, BaseTime(kNow + 77));  // the clock's offset taken off

    // A machine outside the group: accepted, nowhere to send.
    Outcome out = run(command::kReceipt, receipt_payload((4 << kIdMachineShift) | 1, kNow, 4));
    EXPECT_EQ(reply_value(out), 0);
    EXPECT_FALSE(out.forward);
}

TEST_F(GroupServiceTest, VerdictFromPeerReceipts) {
    uint64_t start = kNow + 5'000'000;  // a stamp of the skewed clock, at true time kNow
    int32_t id = reply_value(run(command::kRegisterSend, register_payload(start, 0x1F, 2'000'000)));
    ASSERT_GT(id, 0);
    EXPECT_EQ(machine_of_id(id), 1);
    // Machine 0 reports in time, machine 2 late; a report that names another
    // machine than its sender, or someone else's registration, is ignored.
    const uint64_t graceEnds = kNow + 2'000'000 + 100'000'000;
    service_.peer_receipt(0, BaseReceipt{2, id, BaseTime(kNow)}, BaseTime(kNow));
    service_.peer_receipt(0, BaseReceipt{0, (2 << kIdMachineShift) | 1, BaseTime(kNow)}, BaseTime(kNow));
    service_.peer_receipt(0, BaseReceipt{0, id, BaseTime(kNow + 1'000'000)}, BaseTime(kNow + 1'500'000));
    // Reached norvd at the very end of the grace: it counts.
    service_.peer_receipt(2, BaseReceipt{2, id, BaseTime(kNow + 3'000'000)}, BaseTime(graceEnds));
    EXPECT_TRUE(service_.take_due(BaseTime(kNow + 3'000'000)).empty());  // machine 1 itself is missing
    auto due = service_.take_due(BaseTime(graceEnds));
    ASSERT_EQ(due.size(), 1u);
    const FailureNotice &n = due[0].notice;
    EXPECT_EQ(n.sender, 1);
    EXPECT_EQ(describe(n), "machine 0 timely (-1000 us), machine 1 missing, machine 2 late (+1000 us)");

    // A receipt on time that reached norvd 1 ns after the grace does not
    // count, though norvd, busy, had not judged yet: the verdict is the one
    // it owed when the grace ended.
    id = reply_value(run(command::kRegisterSend, register_payload(start, 0x01, 2'000'000)));
    service_.peer_receipt(0, BaseReceipt{0, id, BaseTime(kNow + 1'000'000)}, BaseTime(graceEnds + 1));
    EXPECT_TRUE(logged("not counted"));
    due = service_.take_due(BaseTime(graceEnds + 50'000'000));
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(describe(due[0].notice), "machine 0 missing");
}

}  // namespace
}  // namespace norvd
