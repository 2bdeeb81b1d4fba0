// The network emulator's logic: link settings, the fate of packets, IPv4
// parsing and routing in the group, and the order of delivery.
#include <gtest/gtest.h>

#include "delay_queue.h"
#include "link_table.h"
#include "packet_route.h"

using namespace netsim;

TEST(NetsimDuration, ParsesUnitsAndRejectsJunk) {
    struct Case {
        const char *text;
        bool ok;
        int64_t ns;
    } cases[] = {{"5ms", true, 5000000}, {"200us", true, 200000}, {"1s", true, 1000000000},
                 {"750ns", true, 750}, {"1500", true, 1500}, {"0.5ms", true, 500000},
                 {"0", true, 0}, {"", false, 0}, {"ms", false, 0}, {"-1ms", false, 0},
                 {"5 ms", false, 0}, {"5m", false, 0}, {"abc", false, 0}, {"nan", false, 0},
                 {"nanms", false, 0}, {"-nan", false, 0}, {"inf", false, 0}, {"infinity", false, 0}};
    for (const Case &c : cases) {
        int64_t ns = -1;
        EXPECT_EQ(parse_duration(c.text, ns), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ns, c.ns) << c.text;
        }
    }
}

TEST(NetsimLinks, SettingsApplyPerDirectionAndKeepUnsetKeys) {
    LinkTable t(3);
    EXPECT_EQ(t.apply("0>1 delay=5ms jitter=1ms"), "");
    EXPECT_EQ(t.at(0, 1).delayNs, 5000000);
    EXPECT_EQ(t.at(0, 1).jitterNs, 1000000);
    EXPECT_EQ(t.at(1, 0).delayNs, 0);  // the other direction is untouched

    EXPECT_EQ(t.apply("0>1 loss=25%"), "");
    EXPECT_DOUBLE_EQ(t.at(0, 1).loss, 0.25);
    EXPECT_EQ(t.at(0, 1).delayNs, 5000000);  // kept

    EXPECT_EQ(t.apply("2-0 delay=2ms"), "");
    EXPECT_EQ(t.at(2, 0).delayNs, 2000000);
    EXPECT_EQ(t.at(0, 2).delayNs, 2000000);

    EXPECT_EQ(t.apply("*>* loss=1"), "");
    for (int f = 0; f < 3; ++f)
        for (int to = 0; to < 3; ++to)
            if (f != to) {
                EXPECT_DOUBLE_EQ(t.at(f, to).loss, 1.0);
            }
}

TEST(NetsimLinks, MalformedSettingsChangeNothing) {
    LinkTable t(2);
    for (const char *bad : {"", "0 delay=1ms", "0>2 delay=1ms", "0>1 delay=fast", "0>1 loss=1.5",
                            "0>1 speed=3", "x>1 loss=0.1", "0>1 loss=-0.1", "0>1 loss=nan",
                            "0>1 loss=nan%", "0>1 loss=inf", "0>1 jitter=nan", "0>1 delay=infms"}) {
        EXPECT_NE(t.apply(bad), "") << bad;
    }
    EXPECT_EQ(t.at(0, 1).delayNs, 0);
    EXPECT_DOUBLE_EQ(t.at(0, 1).loss, 0.0);
}

TEST(NetsimLinks, FatesFollowTheSettings) {
    LinkTable t(2);
    t.apply("0>1 delay=3ms jitter=1ms loss=0.3");
    t.apply("1>0 loss=100%");
    std::mt19937_64 rng(42);
    int lost = 0;
    int64_t lowest = INT64_MAX, highest = 0;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
        Fate f = t.draw(0, 1, rng);
        if (f.lost) {
            ++lost;
            continue;
        }
        lowest = std::min(lowest, f.delayNs);
        highest = std::max(highest, f.delayNs);
        ASSERT_GE(f.delayNs, 3000000);
        ASSERT_LE(f.delayNs, 4000000);
        EXPECT_TRUE(t.draw(1, 0, rng).lost);
    }
    EXPECT_NEAR(static_cast<double>(lost) / n, 0.3, 0.02);
    EXPECT_LT(lowest, 3100000);  // the jitter really spreads the delays
    EXPECT_GT(highest, 3900000);
}

namespace {

std::vector<uint8_t> udp_packet(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                                std::vector<uint8_t> payload) {
    std::vector<uint8_t> p(28 + payload.size(), 0);
    p[0] = 0x45;
    size_t total = 28 + payload.size();
    p[2] = static_cast<uint8_t>(total >> 8);
    p[3] = static_cast<uint8_t>(total);
    p[9] = 17;
    for (int i = 0; i < 4; ++i) {
        p[12 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
        p[16 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
    }
    p[20] = static_cast<uint8_t>(sport >> 8);
    p[21] = static_cast<uint8_t>(sport);
    p[22] = static_cast<uint8_t>(dport >> 8);
    p[23] = static_cast<uint8_t>(dport);
    std::copy(payload.begin(), payload.end(), p.begin() + 28);
    return p;
}

constexpr uint32_t kSubnet = 0x0A4D0000;  // 10.77.0.0
constexpr uint32_t host(uint32_t h) { return kSubnet | h; }

}  // namespace

TEST(NetsimPackets, ReadsIPv4AndUdpHeaders) {
    auto p = udp_packet(host(1), host(3), 40000, 16006, {1, 2, 3});
    PacketInfo info;
    ASSERT_TRUE(parse_packet(p.data(), p.size(), info));
    EXPECT_EQ(info.src, host(1));
    EXPECT_EQ(info.dst, host(3));
    EXPECT_EQ(info.srcPort, 40000);
    EXPECT_EQ(info.dstPort, 16006);
    EXPECT_EQ(info.udpPayloadLength, 3u);
    EXPECT_EQ(info.udpPayload[2], 3);

    std::vector<uint8_t> ipv6(48, 0);
    ipv6[0] = 0x60;
    EXPECT_FALSE(parse_packet(ipv6.data(), ipv6.size(), info));
    EXPECT_FALSE(parse_packet(p.data(), 19, info));          // shorter than a header
    EXPECT_FALSE(parse_packet(p.data(), p.size() - 1, info));  // total length beyond the data
    auto bad = p;
    bad[0] = 0x44;  // header length 16 bytes
    EXPECT_FALSE(parse_packet(bad.data(), bad.size(), info));
}

TEST(NetsimPackets, RoutesWithinTheGroup) {
    struct Case {
        uint32_t dst;
        int from;
        std::vector<int> to;
    } cases[] = {
        {host(3), 0, {2}},
        {host(255), 1, {0, 2, 3}},
        {0xFFFFFFFFu, 3, {0, 1, 2}},
        {host(1), 0, {}},     // its own address never leaves the machine
        {host(5), 0, {}},     // no machine 4 in a group of 4
        {host(0), 0, {}},
        {0x0A4D0103u, 0, {}},  // outside the /24
        {0x7F000001u, 0, {}},
    };
    for (const Case &c : cases) {
        auto p = udp_packet(host(c.from + 1), c.dst, 1, 2, {});
        PacketInfo info;
        ASSERT_TRUE(parse_packet(p.data(), p.size(), info));
        EXPECT_EQ(destinations(info, c.from, kSubnet, 4), c.to) << std::hex << c.dst;
    }
}

TEST(NetsimQueue, DeliversByDueTimeThenQueueingOrder) {
    DelayQueue q;
    auto pkt = std::make_shared<const std::vector<uint8_t>>();
    q.push({30, 0, 0, 1, 0, pkt});
    q.push({10, 0, 0, 2, 0, pkt});
    q.push({30, 0, 0, 3, 0, pkt});
    q.push({20, 0, 0, 4, 0, pkt});
    std::vector<int> order;
    while (!q.empty()) order.push_back(q.pop().to);
    EXPECT_EQ(order, (std::vector<int>{2, 4, 1, 3}));
}
