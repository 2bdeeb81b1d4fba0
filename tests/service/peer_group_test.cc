// The peer group's hosts across reloads: an address written out is taken at
// once, a name's address comes from the resolver, and a name that resolved
// keeps its address while it is resolved again, but only while its machine's
// host stays the same. The group's socket is never opened (start is not
// called): nothing here needs root or the peer port.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>

#include <functional>
#include <string>

#include "core/clock_watch.h"
#include "core/peer_wire.h"
#include "io/log.h"
#include "loop/event_loop.h"
#include "parts/peer_group.h"

namespace norvd {
namespace {

// The first IPv4 address of `host` as "ADDR:PORT" with the peer port, or "".
std::string first_address(const char *host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return "";
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(list->ai_addr)->sin_addr, text, sizeof text);
    freeaddrinfo(list);
    return std::string(text) + ":" + std::to_string(peer::kPort);
}

TEST(PeerGroup, ANameKeepsItsAddressWhileItsHostStays) {
    const std::string local = first_address("localhost");
    if (local.empty() || local.rfind("127.", 0) != 0)
        GTEST_SKIP() << "localhost has no loopback IPv4 address here";

    SystemClocks clocks;
    ClockWatch clock(clocks, process_log(), false);
    std::string why;
    auto loop = EventLoop::create([&clock] { return clock.base_now(); }, 8, why);
    ASSERT_NE(loop, nullptr) << why;
    // Bound to 127.0.0.2, norvd takes the other loopback addresses as peers.
    PeerGroup group(0, std::nullopt, "127.0.0.2", clock, clock.base_now(), *loop,
                    [](uint8_t, const BaseReceipt &, BaseTime) { ADD_FAILURE() << "a receipt without a socket"; });
    group.add_resolve_work();
    // Runs the loop until machine 1's name has resolved, or for 30 s at most.
    BaseTime limit;
    loop->add_deadline([&limit](BaseTime) { return std::optional(limit); });
    loop->add_after_turn([&](const EventLoop::Turn &t) {
        if (!group.resolving(1) || t.now >= limit) loop->stop();
    });
    auto resolve = [&] {
        limit = clock.base_now() + 30'000'000'000;
        ASSERT_TRUE(loop->run());
        EXPECT_FALSE(group.resolving(1)) << "not resolved within 30 s";
    };
    auto address = [&group] {
        PeersView v = group.view();
        return v.peers.size() == 1 ? v.peers[0].address : "no single peer";
    };

    // Each row is a reload: machine 1's host, its address right after it
    // (before the resolver could answer), and whether the name is then
    // resolved (to localhost's address).
    struct Row {
        const char *host;
        std::string address;
        bool resolve;
    } rows[] = {
        {"localhost", "", true},
        // The same name again: the address stays while it is resolved again.
        {"localhost", local, true},
        {"127.0.0.5", "127.0.0.5:16007", false},
        // A name where an address was: the old address is not its.
        {"localhost", "", true},
        // Another name: the address of the previous one is not its either.
        {"norv-other-peer.invalid", "", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.host);
        Peers peers = {{1, row.host}};
        group.set_peers(peers, clock.base_now());
        EXPECT_EQ(group.peers(), peers);
        EXPECT_EQ(address(), row.address);
        EXPECT_EQ(group.view().peers.at(0).host, row.host);
        if (!row.resolve) continue;
        resolve();
        EXPECT_EQ(address(), local);
    }
}

}  // namespace
}  // namespace norvd
