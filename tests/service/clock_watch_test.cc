// The watch over the common clock: steps that move no client's stamp, and the
// synchronisation lines.
#include <gtest/gtest.h>

#include "core/clock_watch.h"
#include "core/commands.h"
#include "support/scripted_peer.h"
#include "wire.h"

namespace norvd {
namespace {

using namespace norv::wire;
using norv::test::Bytes;

constexpr uint64_t kNow = 1'700'000'000'000'000'000;  // a true time
constexpr int kConn = 4;

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
    Log log([&](const std::string &l) { lines.push_back(l); }, [&] { return BaseTime(clocks.base); });
    ClockWatch watch(clocks, log, true);
    ServiceConfig config;
    config.groupMask = 0x03;
    config.clock = ServiceClock(-2'000'000'000, 4.5, BaseTime(clocks.base));
    Log quiet([](const std::string &) {}, [] { return BaseTime(); });
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
    EXPECT_EQ(watch.to_common(BaseTime(clocks.base)), CommonTime(kNow));

    struct Step {
        int64_t common;  // how far the common clock jumps while 10 us pass
        bool taken;      // norvd's common time follows it
        bool warned;
    } steps[] = {{1'000'000'000, true, true}, {-3'600'000'000'000, true, true}, {999'000, true, false},
                 {-1'001'000, true, true}, {7'000, false, false}, {4'000, true, false}};
    uint64_t common = kNow;
    int64_t untaken = 0;  // the moves of the common clock not taken yet
    for (const Step &st : steps) {
        SCOPED_TRACE(st.common);
        lines.clear();
        clocks.base += 10'000;
        clocks.distance += static_cast<uint64_t>(st.common);
        untaken += st.common;
        common += 10'000;
        if (st.taken) common += static_cast<uint64_t>(std::exchange(untaken, 0));
        watch.check([&] { return std::vector<int32_t>{pending}; });
        // The clients' clock went on by the 10 us (and 4.5 ppm of them), whatever the step.
        uint64_t after = stamp();
        EXPECT_EQ(after - before, 10'000u);
        before = after;
        // Receipts between machines go in the new common time.
        EXPECT_EQ(watch.to_common(BaseTime(clocks.base)), CommonTime(common));
        EXPECT_EQ(watch.to_base(CommonTime(common)), BaseTime(clocks.base));
        bool warned = lines.size() == 2 && lines[1].find("<4>norvd: the common clock") == 0 &&
                      lines[1].find(std::to_string(pending)) != std::string::npos;
        EXPECT_EQ(warned, st.warned) << (lines.empty() ? "" : lines.back());
        EXPECT_EQ(!lines.empty() && lines[0].find("<6>norvd: common clock: CLOCK_REALTIME minus") == 0, st.taken);
    }
}

TEST(ClockWatch, SynchronisationLinesAtStartOnChangeAndOnAFactorOfTwo) {
    FakeClocks clocks;
    std::vector<std::string> lines;
    Log log([&](const std::string &l) { lines.push_back(l); }, [&] { return BaseTime(clocks.base); });
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

}  // namespace
}  // namespace norvd
