// norvd's replies to every command, its clock, its channel numbers and its
// command line.
#include <gtest/gtest.h>

#include "channels.h"
#include "clock_watch.h"
#include "commands.h"
#include "notify.h"
#include "options.h"
#include "peer_resolver.h"
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
        return service_.handle(conn, Request{command, payload}, now);
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
    static int32_t answer(const Outcome &o) {
        EXPECT_EQ(o.reply.size(), 4u);
        return o.reply.size() == 4 ? get_i32le(o.reply.data(), 0) : INT32_MIN;
    }
    bool logged(const std::string &part) const {
        for (const auto &l : lines_)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }

    std::vector<std::string> lines_;
    uint64_t logNow_ = kNow;  // the log's clock, for its rate limits
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
    int32_t handle = answer(run(command::kStartMeasurement, le64(42), kNow));
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
        int32_t handle = answer(run(command::kStartLocalFD, start, kNow));
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
    int32_t m = answer(run(command::kStartMeasurement, le64(0)));
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
        int32_t handle = answer(r.detection ? run(command::kStartLocalFD, localFD)
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
    int32_t id = answer(run(command::kRegisterSend, register_payload(kNow, 31, 2'000'000)));
    ASSERT_GT(id, 0);
    EXPECT_TRUE(logged("appmod1"));
    Outcome r = run(command::kReceipt, receipt_payload(id, kNow + 300'000, 0), kNow + 400'000, 9);
    EXPECT_EQ(answer(r), 0);
    EXPECT_FALSE(r.forward);
    auto due = service_.take_due(kNow + 400'000);
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
    EXPECT_EQ(answer(run(command::kRegisterSend, register_payload(kNow, 0, 2'000'000))), kNoReceiver);
    EXPECT_EQ(answer(run(command::kRegisterSend, register_payload(kNow, 0x1E, 2'000'000))), kNoReceiver);
    EXPECT_EQ(answer(run(command::kRegisterSend, register_payload(kNow, 31, 0))), kNoReceiver);
    // The table holds 4096 registrations; the next one is refused until one is judged.
    for (int i = 0; i < 4096; ++i)
        ASSERT_GT(answer(run(command::kRegisterSend, register_payload(kNow, 1, 2'000'000 + i))), 0);
    EXPECT_EQ(answer(run(command::kRegisterSend, register_payload(kNow, 1, 1))), kTableFull);
    EXPECT_EQ(service_.pending_registrations(), 4096u);
    auto due = service_.take_due(kNow + 2'000'000 + 100'000'000);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_GT(answer(run(command::kRegisterSend, register_payload(kNow, 1, 1))), 0);
}

TEST_F(ServiceTest, DuplicateAndInvalidReceipts) {
    int32_t id = answer(run(command::kRegisterSend, register_payload(kNow, 1, 2'000'000)));
    EXPECT_EQ(answer(run(command::kReceipt, receipt_payload(id, kNow, 0))), 0);
    EXPECT_EQ(answer(run(command::kReceipt, receipt_payload(id, kNow, 0))), kReceiptRepeated);
    EXPECT_EQ(answer(run(command::kReceipt, receipt_payload(id, kNow + 5, 0))), kReceiptRepeated);
    EXPECT_EQ(answer(run(command::kReceipt, receipt_payload(0, kNow, 0))), kReceiptInvalid);
    EXPECT_EQ(answer(run(command::kReceipt, receipt_payload(-3, kNow, 0))), kReceiptInvalid);
    EXPECT_EQ(answer(run(command::kReceipt, receipt_payload(id, kNow, 5))), kReceiptInvalid);
    // An id that machine 2 handed out, claimed by machine 1.
    EXPECT_EQ(answer(run(command::kReceipt, receipt_payload((2 << kIdMachineShift) | 1, kNow, 1))),
              kReceiptInvalid);
}

TEST_F(ServiceTest, ClientsThatLeaveTakeTheirStateAlong) {
    int32_t id = answer(run(command::kRegisterSend, register_payload(kNow, 1, 2'000'000)));
    int32_t m = answer(run(command::kStartMeasurement, le64(0)));
    service_.connection_closed(kConn);
    EXPECT_EQ(service_.pending_registrations(), 0u);
    EXPECT_EQ(run(command::kEndMeasurement, le32(m)).reply[0], 0xFF);
    EXPECT_EQ(answer(run(command::kReceipt, receipt_payload(id, kNow, 0))), 0);
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
        c.clock = ServiceClock(5'000'000, 0.0, kNow);  // clients see the clock 5 ms ahead
        return c;
    }
    GroupServiceTest() : ServiceTest(config()) {}
};

TEST_F(GroupServiceTest, ReceiptOfAPeersDatagramIsForwardedInTrueTime) {
    EXPECT_EQ(run(command::kMachineId, {}).reply, le32(1));
    int32_t peerId = (2 << kIdMachineShift) | 9;
    Outcome o = run(command::kReceipt, receipt_payload(peerId, kNow + 5'000'000 + 77, 2));
    EXPECT_EQ(answer(o), 0);
    ASSERT_TRUE(o.forward);
    EXPECT_EQ(o.forward->machine, 2);
    EXPECT_EQ(o.forward->receipt.receiver, 1);
    EXPECT_EQ(o.forward->receipt.registrationId, peerId);
    EXPECT_EQ(o.forward->receipt.receiptTime, kNow + 77);  // the clock's offset taken off

    // A machine outside the group: accepted, nowhere to send.
    Outcome out = run(command::kReceipt, receipt_payload((4 << kIdMachineShift) | 1, kNow, 4));
    EXPECT_EQ(answer(out), 0);
    EXPECT_FALSE(out.forward);
}

TEST_F(GroupServiceTest, VerdictFromPeerReceipts) {
    uint64_t start = kNow + 5'000'000;  // a stamp of the skewed clock, at true time kNow
    int32_t id = answer(run(command::kRegisterSend, register_payload(start, 0x1F, 2'000'000)));
    ASSERT_GT(id, 0);
    EXPECT_EQ(machine_of_id(id), 1);
    // Machine 0 reports in time, machine 2 late; a report that names another
    // machine than its sender, or someone else's registration, is ignored.
    const uint64_t graceEnds = kNow + 2'000'000 + 100'000'000;
    service_.peer_receipt(0, peer::Receipt{2, id, kNow}, kNow);
    service_.peer_receipt(0, peer::Receipt{0, (2 << kIdMachineShift) | 1, kNow}, kNow);
    service_.peer_receipt(0, peer::Receipt{0, id, kNow + 1'000'000}, kNow + 1'500'000);
    // Reached norvd at the very end of the grace: it counts.
    service_.peer_receipt(2, peer::Receipt{2, id, kNow + 3'000'000}, graceEnds);
    EXPECT_TRUE(service_.take_due(kNow + 3'000'000).empty());  // machine 1 itself is missing
    auto due = service_.take_due(graceEnds);
    ASSERT_EQ(due.size(), 1u);
    const FailureNotice &n = due[0].notice;
    EXPECT_EQ(n.sender, 1);
    EXPECT_EQ(describe(n), "machine 0 timely (-1000 us), machine 1 missing, machine 2 late (+1000 us)");

    // A receipt on time that reached norvd 1 ns after the grace does not
    // count, though norvd, busy, had not judged yet: the verdict is the one
    // it owed when the grace ended.
    id = answer(run(command::kRegisterSend, register_payload(start, 0x01, 2'000'000)));
    service_.peer_receipt(0, peer::Receipt{0, id, kNow + 1'000'000}, graceEnds + 1);
    EXPECT_TRUE(logged("not counted"));
    due = service_.take_due(graceEnds + 50'000'000);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(describe(due[0].notice), "machine 0 missing");
}

TEST(ServiceClock, OffsetDriftAndInverse) {
    const uint64_t epoch = kNow;
    struct Case {
        int64_t offset;
        double ppm;
        uint64_t at;
        uint64_t expected;
    } cases[] = {
        {0, 0, kNow, kNow},
        {-1000, 0, kNow, kNow - 1000},
        {0, 100, kNow + 1'000'000'000, kNow + 1'000'000'000 + 100'000},  // 100 ppm of 1 s
        {0, -50, kNow + 2'000'000'000, kNow + 2'000'000'000 - 100'000},
        {3'000, 10, kNow + 1'000'000, kNow + 1'000'000 + 3'000 + 10},
    };
    for (const Case &c : cases) {
        ServiceClock clock(c.offset, c.ppm, epoch);
        EXPECT_EQ(clock.service_time(c.at), c.expected);
        EXPECT_NEAR(static_cast<double>(clock.base_time(c.expected)), static_cast<double>(c.at), 1.0);
    }
    // Far from the epoch the inverse keeps every nanosecond.
    EXPECT_EQ(ServiceClock(0, 0, 0).base_time(kNow + 1), kNow + 1);
    EXPECT_EQ(ServiceClock(-7, 0, 0).base_time(kNow), kNow + 7);
    // Never the top bit, never a wrap below zero.
    EXPECT_EQ(ServiceClock(INT64_MAX, 0, 0).service_time(kNow), kMaxServiceTime);
    EXPECT_EQ(ServiceClock(INT64_MIN, 0, 0).service_time(kNow), 0u);
    EXPECT_EQ(ServiceClock(0, 0, 0).service_time(UINT64_MAX), kMaxServiceTime);
    EXPECT_EQ(ServiceClock(-5, 0, 0).base_time(UINT64_MAX), kMaxServiceTime);
    EXPECT_EQ(ServiceClock(5, 0, 0).base_time(0), 0u);
    // The log line from which others map stamps: every value exactly, the
    // drift in the fewest digits that read back as the same double.
    EXPECT_EQ(ServiceClock(-2'000'000'000, 4.5, 123).describe("CLOCK_BOOTTIME"),
              "base CLOCK_BOOTTIME, offset -2000000000 ns, drift 4.5 ppm, origin 123 ns");
    EXPECT_EQ(ServiceClock(0, 0.1, kNow).describe("B"),
              "base B, offset 0 ns, drift 0.1 ppm, origin 1700000000000000000 ns");
    EXPECT_EQ(ServiceClock(0, -1.0 / 3, 0).describe("B"), "base B, offset 0 ns, drift -0.3333333333333333 ppm, origin 0 ns");
}

// Clocks that a test sets by hand: the common clock keeps its distance to
// the base clock until the test makes it step.
struct FakeClocks : ClockSource {
    uint64_t base = 90'000'000'000'000;  // the machine has been up for 25 hours
    uint64_t distance = kNow - base;
    SyncState state;
    uint64_t base_ns() override { return base; }
    uint64_t common_ns() override { return base + distance; }
    SyncState sync() override { return state; }
};

TEST(ClockWatch, AStepOfTheCommonClockMovesNoStampOfTheClients) {
    FakeClocks clocks;
    std::vector<std::string> lines;
    Log log([&](const std::string &l) { lines.push_back(l); }, [&] { return clocks.base; });
    ClockWatch watch(clocks, log, true);
    ServiceConfig config;
    config.groupMask = 0x03;
    config.clock = ServiceClock(-2'000'000'000, 4.5, clocks.base);
    Log quiet([](const std::string &) {}, [] { return uint64_t{0}; });
    Service service(config, quiet);
    auto stamp = [&] {
        return get_u64le(service.handle(kConn, Request{command::kTimestamp, {}}, watch.base_now()).reply.data(), 0);
    };
    int32_t pending = get_i32le(
        service.handle(kConn, Request{command::kRegisterSend, [] {
                                          Bytes p(register_send::kSize, 0);
                                          put_u64le(p.data(), register_send::kSecond, 2'000'000);
                                          put_u8(p.data(), register_send::kValue8, 0x03);
                                          return p;
                                      }()},
                       watch.base_now())
            .reply.data(),
        0);
    uint64_t before = stamp();
    EXPECT_EQ(watch.to_common(clocks.base), kNow);

    struct Step {
        int64_t common;  // how far the common clock jumps while 10 us pass
        bool warned;
    } steps[] = {{1'000'000'000, true}, {-3'600'000'000'000, true}, {999'000, false}, {-1'001'000, true}};
    uint64_t common = kNow;
    for (const Step &st : steps) {
        SCOPED_TRACE(st.common);
        lines.clear();
        clocks.base += 10'000;
        clocks.distance += static_cast<uint64_t>(st.common);
        common += 10'000 + static_cast<uint64_t>(st.common);
        watch.check([&] { return std::vector<int32_t>{pending}; });
        // The clients' clock went on by the 10 us (and 4.5 ppm of them), whatever the step.
        uint64_t after = stamp();
        EXPECT_EQ(after - before, 10'000u);
        before = after;
        // Receipts between machines go in the new common time.
        EXPECT_EQ(watch.to_common(clocks.base), common);
        EXPECT_EQ(watch.to_base(common), clocks.base);
        bool warned = !lines.empty() && lines[0].find("<4>norvd: the common clock") == 0 &&
                      lines[0].find(std::to_string(pending)) != std::string::npos;
        EXPECT_EQ(warned, st.warned) << (lines.empty() ? "" : lines[0]);
    }
}

TEST(ClockWatch, SynchronisationLinesAtStartOnChangeAndOnAFactorOfTwo) {
    FakeClocks clocks;
    std::vector<std::string> lines;
    Log log([&](const std::string &l) { lines.push_back(l); }, [&] { return clocks.base; });
    ClockWatch watch(clocks, log, true);
    clocks.state = SyncState{false, 16, 16000};
    watch.report_sync();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("<4>norvd: clock: not synchronised", 0), 0u) << lines[0];
    struct Row {
        uint64_t after;  // seconds since the previous row
        SyncState state;
        const char *logged;  // start of the line, "" for none
    } rows[] = {
        {1, {false, 30, 16000}, ""},  // less than twice the error: nothing new
        {1, {true, 30, 500}, "<6>norvd: clock: synchronised by the kernel's account, estimated error 30 us"},
        {1, {true, 61, 500}, "<6>norvd: clock: synchronised by the kernel's account, estimated error 61 us"},
        {1, {true, 200, 500}, ""},    // a factor of 2 again, but within the minute
        {30, {true, 200, 500}, ""},
        {30, {true, 200, 500}, "<6>norvd: clock: synchronised by the kernel's account, estimated error 200 us"},
        {1, {false, 200, 500}, "<4>norvd: clock: not synchronised"},  // a change is told at once
    };
    for (const Row &r : rows) {
        lines.clear();
        clocks.base += r.after * 1'000'000'000;
        clocks.state = r.state;
        watch.check([] { return std::vector<int32_t>{}; });
        if (*r.logged == '\0') {
            EXPECT_TRUE(lines.empty()) << lines[0];
        } else {
            ASSERT_EQ(lines.size(), 1u) << r.logged;
            EXPECT_EQ(lines[0].rfind(r.logged, 0), 0u) << lines[0];
        }
    }
    // Without peers an unsynchronised clock is no warning.
    lines.clear();
    ClockWatch alone(clocks, log, false);
    alone.report_sync();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("<6>norvd: clock: not synchronised", 0), 0u) << lines[0];
}

TEST(ChannelTable, NumbersNeverCollideAndNeverUseTheRegistrationDevice) {
    ChannelTable table(5);
    // 0 (devices 0, 3), then 1 is taken by /dev/rtf1, 2 (2, 5), 3 is in use,
    // 4 (4, 7), 6 (6, 9), 8 (8, 11).
    std::vector<int> got;
    for (int i = 0; i < 5; ++i) got.push_back(table.allocate());
    EXPECT_EQ(got, (std::vector<int>{0, 2, 4, 6, 8}));
    EXPECT_EQ(table.allocate(), -1);  // full
    table.release(4);
    table.release(4);  // twice: no effect
    EXPECT_EQ(table.allocate(), 4);
    table.release(0);
    table.release(2);
    EXPECT_FALSE(table.live(2));
    EXPECT_EQ(table.allocate(), 0);
    // 2 would take 5, free now; 10 is not reachable before it.
    EXPECT_EQ(table.allocate(), 2);
    for (int n : table.connections()) {
        EXPECT_NE(n, 1);
        EXPECT_NE(n + kNoticeOffset, 1);
        for (int m : table.connections())
            if (m != n) {
                EXPECT_TRUE(n != m + 3 && n + 3 != m);
            }
    }
}

TEST(Options, CommandLine) {
    struct Case {
        std::vector<const char *> args;
        const char *error;  // "" when accepted
    } cases[] = {
        {{}, ""},
        {{"--id", "4", "--peer", "0=10.0.0.1", "--peer", "2=host.example", "--quiet"}, ""},
        {{"--clock-offset", "-2500", "--clock-drift", "12.5"}, ""},
        {{"--id", "5"}, "--id needs"},
        {{"--id"}, "--id needs"},
        {{"--id", "x"}, "--id needs"},
        {{"--peer", "1"}, "--peer needs"},
        {{"--peer", "7=h"}, "--peer needs"},
        {{"--peer", "1="}, "--peer needs"},
        {{"--peer", "0=h"}, "machine 0 is named twice"},
        {{"--peer", "2=a", "--peer", "2=b"}, "machine 2 is named twice"},
        {{"--clock-drift", "fast"}, "--clock-drift needs"},
        {{"--clock-offset", "1e3"}, "--clock-offset needs"},
        {{"--group", "norv"}, ""},
        {{"--group"}, "--group needs"},
        {{"--group", ""}, "--group needs"},
        {{"--key-file"}, "--key-file needs"},
        {{"--key-file", ""}, "--key-file needs"},
        {{"--gen-key"}, "--gen-key needs"},
        {{"--bogus"}, "unknown argument '--bogus'"},
        {{"--log-level", "debug"}, ""},
        {{"--log-level"}, "--log-level needs error, warning, info or debug"},
        {{"--log-level", "warn"}, "--log-level needs"},
        {{"--log-level", "Info"}, "--log-level needs"},
        {{"--id=3", "--peer=0=h"}, ""},
        {{"--peer", "1=::1"}, "peer ::1: IPv6 is not supported"},
        {{"--peer", "1=[fe80::1]"}, "IPv6 is not supported"},
        {{"--bogus=1"}, "unknown argument '--bogus=1'"},
        {{"-x"}, "unknown argument '-x'"},
        {{"--id", "1", "stray"}, "unknown argument 'stray'"},
        {{"--help"}, ""},
        {{"--version"}, ""},
        {{"-f"}, "-f (--config) needs a path"},
        {{"--config", ""}, "-f (--config) needs a path"},
        {{"-f", "/etc/norv/a.conf"}, ""},
    };
    for (const Case &c : cases) {
        std::vector<char *> argv{const_cast<char *>("norvd")};
        for (const char *a : c.args) argv.push_back(const_cast<char *>(a));
        Options opts;
        std::string err = parse_options(static_cast<int>(argv.size()), argv.data(), opts);
        // The group is checked once the configuration file (here none) is in.
        if (err.empty()) err = merge_config(ConfigFile{}, opts);
        if (*c.error == '\0') {
            EXPECT_EQ(err, "") << c.args.size();
        } else {
            EXPECT_NE(err.find(c.error), std::string::npos) << err;
        }
    }
    std::vector<const char *> args = {"norvd", "--id", "4", "--peer", "0=10.0.0.1",
                                      "--clock-offset", "-2500", "--clock-drift", "12.5",
                                      "--group", "timing", "--key-file", "/etc/norv/group.key"};
    Options opts;
    ASSERT_EQ(parse_options(static_cast<int>(args.size()), const_cast<char **>(args.data()), opts), "");
    EXPECT_EQ(opts.id, 4);
    ASSERT_EQ(opts.peers.size(), 1u);
    EXPECT_EQ(opts.peers[0].first, 0);
    EXPECT_EQ(opts.peers[0].second, "10.0.0.1");
    EXPECT_EQ(opts.clockOffset, -2500);
    EXPECT_DOUBLE_EQ(opts.clockDrift, 12.5);
    EXPECT_EQ(opts.group, "timing");
    EXPECT_EQ(opts.keyFile, "/etc/norv/group.key");
    EXPECT_EQ(opts.genKey, "");
    EXPECT_EQ(group_mask(opts), 0x11);
    EXPECT_EQ(opts.logLevel, Severity::kInfo);
    EXPECT_EQ(opts.config, "/etc/norv/norvd.conf");
    EXPECT_FALSE(opts.configGiven);

    // --quiet is --log-level warning; the last of them counts.
    struct Level {
        std::vector<const char *> args;
        Severity level;
    } levels[] = {
        {{"--quiet"}, Severity::kWarning},
        {{"--log-level", "error"}, Severity::kError},
        {{"--log-level", "warning"}, Severity::kWarning},
        {{"--log-level", "info"}, Severity::kInfo},
        {{"--log-level", "debug"}, Severity::kDebug},
        {{"--quiet", "--log-level", "debug"}, Severity::kDebug},
        {{"--log-level", "error", "--quiet"}, Severity::kWarning},
    };
    for (const Level &l : levels) {
        std::vector<char *> argv{const_cast<char *>("norvd")};
        for (const char *a : l.args) argv.push_back(const_cast<char *>(a));
        Options o;
        ASSERT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), o), "");
        EXPECT_EQ(o.logLevel, l.level) << l.args.back();
    }
}

// The configuration file: each row a file's text and the error it gives
// ("" when accepted), then what the command line makes of it.
TEST(Options, ConfigFile) {
    const std::string path = "/etc/norv/norvd.conf";
    struct Case {
        const char *text;
        const char *error;
    } cases[] = {
        {"", ""},
        {"\n\n   \n# a comment\n\t# another\n", ""},
        {"id 2\npeer 0 10.0.0.1\npeer 1 host.example\nbind 10.0.0.3\ngroup timing\n"
         "key-file /etc/norv/group.key\nlog-level debug\n", ""},
        {"  id   2  \r\n", ""},
        {"id 2", ""},  // no newline at the end
        {"id 2\nbogus 1\n", ":2: unknown setting 'bogus'"},
        {"ID 2\n", ":1: unknown setting 'ID'"},
        {"\n\nid\n", ":3: id needs one value, not 0"},
        {"id 1 2\n", ":1: id needs one value, not 2"},
        {"peer 1\n", ":1: peer needs two values (ID HOST), not 1"},
        {"peer 1 a b\n", ":1: peer needs two values (ID HOST), not 3"},
        {"id 5\n", ":1: id needs a machine id from 0 to 4"},
        {"id -1\n", ":1: id needs a machine id from 0 to 4"},
        {"peer x h\n", ":1: peer needs a machine id from 0 to 4"},
        {"peer 1 ::1\n", ":1: peer ::1: IPv6 is not supported"},
        {"log-level loud\n", ":1: log-level needs error, warning, info or debug"},
        {"id 1\nid 1\n", ":2: id is set twice"},
        {"bind a\nbind b\n", ":2: bind is set twice"},
        {"group a\n# x\ngroup b\n", ":3: group is set twice"},
        {"peer 1 a\npeer 2 b\npeer 1 c\n", ":3: machine 1 is named twice in this file"},
        {"peer 3 a\nid 3\n", ":2: machine 3 is named twice in this file"},
        {"id 3\npeer 3 a\n", ":2: machine 3 is named twice in this file"},
        {"peer 0 a\n", ""},  // the id may come from the command line
        {"id 1 # a comment after a value is a word\n", ":1: id needs one value, not 10"},
    };
    for (const Case &c : cases) {
        ConfigFile file;
        std::string err = parse_config(c.text, path, file);
        if (*c.error == '\0')
            EXPECT_EQ(err, "") << c.text;
        else
            EXPECT_EQ(err, path + c.error) << c.text;
    }

    ConfigFile file;
    ASSERT_EQ(parse_config("id 2\npeer 0 10.0.0.1\npeer 1 host.example\nbind 10.0.0.3\ngroup timing\n"
                           "key-file /k\nlog-level debug\n", path, file), "");
    // The command line overrides the file, setting by setting; its peers
    // replace the file's as a whole.
    struct Merge {
        std::vector<const char *> args;
        uint8_t id;
        Peers peers;
        std::string bind, group, keyFile;
        Severity level;
        const char *error;
    } merges[] = {
        {{}, 2, {{0, "10.0.0.1"}, {1, "host.example"}}, "10.0.0.3", "timing", "/k", Severity::kDebug, ""},
        {{"--id", "3"}, 3, {{0, "10.0.0.1"}, {1, "host.example"}}, "10.0.0.3", "timing", "/k",
         Severity::kDebug, ""},
        {{"--peer", "4=other"}, 2, {{4, "other"}}, "10.0.0.3", "timing", "/k", Severity::kDebug, ""},
        {{"--bind", "1.2.3.4", "--group", "g", "--key-file", "/j", "--quiet"}, 2,
         {{0, "10.0.0.1"}, {1, "host.example"}}, "1.2.3.4", "g", "/j", Severity::kWarning, ""},
        {{"--id", "0"}, 0, {}, "", "", "", Severity::kInfo,
         "machine 0 is named twice (by the command line and /etc/norv/norvd.conf)"},
        {{"--id", "0", "--peer", "1=a"}, 0, {{1, "a"}}, "10.0.0.3", "timing", "/k", Severity::kDebug, ""},
    };
    for (const Merge &m : merges) {
        std::vector<char *> argv{const_cast<char *>("norvd")};
        for (const char *a : m.args) argv.push_back(const_cast<char *>(a));
        Options o;
        ASSERT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), o), "");
        std::string err = merge_config(file, o);
        EXPECT_EQ(err, m.error);
        if (*m.error != '\0') continue;
        EXPECT_EQ(o.id, m.id);
        EXPECT_EQ(o.peers, m.peers);
        EXPECT_EQ(o.bind, m.bind);
        EXPECT_EQ(o.group, m.group);
        EXPECT_EQ(o.keyFile, m.keyFile);
        EXPECT_EQ(o.logLevel, m.level);
    }
}

// The address of $NOTIFY_SOCKET, as the manager bound it.
TEST(Notify, Address) {
    const socklen_t head = offsetof(sockaddr_un, sun_path);
    const std::string longest(sizeof(sockaddr_un::sun_path) - 1, 'p');
    struct Case {
        std::string name;
        bool ok;
        std::string path;  // the bytes of sun_path the length covers
    } cases[] = {
        {"/run/systemd/notify", true, std::string("/run/systemd/notify\0", 20)},
        {"@norv/notify", true, std::string("\0norv/notify", 12)},
        {"@", false, ""},
        {"", false, ""},
        {"run/notify", false, ""},
        {"/" + longest.substr(1), true, "/" + longest.substr(1) + std::string(1, '\0')},
        {"/" + longest, false, ""},
        {"@" + longest, true, std::string(1, '\0') + longest},
        {"@p" + longest, false, ""},
    };
    for (const Case &c : cases) {
        sockaddr_un addr;
        std::memset(&addr, 0x55, sizeof addr);
        socklen_t length = 0;
        ASSERT_EQ(notify_address(c.name, addr, length), c.ok) << c.name;
        if (!c.ok) continue;
        EXPECT_EQ(addr.sun_family, AF_UNIX);
        ASSERT_EQ(length, head + c.path.size()) << c.name;
        EXPECT_EQ(std::string(addr.sun_path, c.path.size()), c.path) << c.name;
    }
}

TEST(PeerResolver, BackoffAndNumericHosts) {
    const uint64_t s = 1'000'000'000;
    const uint64_t waits[] = {1 * s, 2 * s, 4 * s, 8 * s, 16 * s, 32 * s, 60 * s, 60 * s};
    for (unsigned failures = 1; failures <= 8; ++failures)
        EXPECT_EQ(resolve_backoff(failures), waits[failures - 1]) << failures;
    EXPECT_EQ(resolve_backoff(1000), 60 * s);

    auto addr = numeric_peer("10.0.0.7");
    ASSERT_TRUE(addr);
    EXPECT_EQ(ntohl(addr->sin_addr.s_addr), 0x0a000007u);
    EXPECT_EQ(ntohs(addr->sin_port), peer::kPort);
    for (const char *name : {"host.example", "10.0.0", "10.0.0.256", "", "::1"})
        EXPECT_FALSE(numeric_peer(name)) << name;
}

}  // namespace
}  // namespace norvd
