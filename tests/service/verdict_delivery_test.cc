// The verdicts' way to their connections: written while the device takes
// them, queued behind the waiting ones and offered again when it does not,
// counted whatever their fate, and dropped with the connection that ended.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/commands.h"
#include "parts/verdict_delivery.h"
#include "wire.h"

namespace norvd {
namespace {

using namespace norv::wire;

constexpr uint64_t kNow = 1'700'000'000'000'000'000;
constexpr uint64_t kDeadline = 2'000'000;
constexpr uint64_t kJudged = kNow + kDeadline + 100'000'000;  // deadline and grace

std::vector<uint8_t> register_payload() {
    std::vector<uint8_t> p(register_send::kSize, 0);
    put_u64le(p.data(), register_send::kStartStamp, kNow);
    put_u64le(p.data(), register_send::kFirst, 490);
    put_u64le(p.data(), register_send::kSecond, kDeadline);
    put_u8(p.data(), register_send::kValue8, 1);  // this machine only, which never reports
    put_i32le(p.data(), register_send::kValue32, NORV_PING_PORT);
    put_name(p.data(), register_send::kModuleName, "appmod1", register_send::kNameWidth);
    return p;
}

TEST(VerdictDelivery, QueuedNoticesGoOutInOrderAndEndWithTheirConnection) {
    std::vector<std::string> lines;
    Log log([&](const std::string &l) { lines.push_back(l); }, [] { return BaseTime(kNow); });
    Service service(ServiceConfig{}, log);
    std::set<int> live{4};
    std::map<int, size_t> room;
    std::map<int, std::vector<uint32_t>> written;  // sequence numbers, per connection
    std::map<int, size_t> offered;
    VerdictDelivery delivery(
        service, 1, BaseTime(kNow),
        [&](int c, const uint8_t *record, size_t len) {
            ++offered[c];
            if (len != NoticeQueue::kRecordSize || room[c] == 0) return false;
            --room[c];
            written[c].push_back(get_u32le(record, notice::kSeq));
            return true;
        },
        [&](int c) { return live.count(c) != 0; });

    std::vector<uint32_t> ids;
    for (int conn : {4, 4, 5, 4}) {
        Outcome o = service.handle(conn, Request{command::kRegisterSend, register_payload()}, BaseTime(kNow));
        ASSERT_EQ(o.reply.size(), 4u);
        int32_t id = get_i32le(o.reply.data(), 0);
        ASSERT_GT(id, 0);
        if (conn == 4) ids.push_back(static_cast<uint32_t>(id));
    }

    delivery.deliver(BaseTime(kJudged - 1));
    EXPECT_TRUE(offered.empty());

    // Room for one: the others wait, in order; connection 5 has gone, so its
    // notice is offered nowhere, yet its verdict counts.
    room[4] = 1;
    delivery.deliver(BaseTime(kJudged));
    EXPECT_EQ(written[4], std::vector<uint32_t>{ids[0]});
    EXPECT_EQ(offered.count(5), 0u);
    EXPECT_EQ(delivery.notices_waiting(4), 2u);
    EXPECT_EQ(delivery.notices_waiting(), 2u);
    std::vector<MachineVerdicts> v = delivery.verdicts(BaseTime(kJudged));
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].sinceStart.unknown, 4u);

    room[4] = 1;
    delivery.flush();
    EXPECT_EQ(written[4], (std::vector<uint32_t>{ids[0], ids[1]}));

    // The connection ends: what waited for it is dropped, never written.
    live.erase(4);
    delivery.connection_ended(4);
    EXPECT_EQ(delivery.notices_waiting(), 0u);
    EXPECT_EQ(delivery.notices_dropped().connectionEnded, 1u);
    room[4] = 10;
    delivery.flush();
    EXPECT_EQ(written[4].size(), 2u);
}

}  // namespace
}  // namespace norvd
