// How norvd waits between tries to resolve a peer's name, the names it takes
// as addresses without asking, what a failed look-up tells, and the
// addresses it refuses for a peer or for its peer socket.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>

#include "config/address_check.h"
#include "core/peer_wire.h"
#include "io/peer_resolver.h"

namespace norvd {
namespace {

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

TEST(PeerResolver, FailedLookups) {
    struct Case {
        int rc, error;
        bool onlyIpv6;
        std::string why;
        bool lasting;
    } cases[] = {
        // A name unknown (or no DNS server yet) is a passing failure.
        {EAI_NONAME, 0, false, gai_strerror(EAI_NONAME), false},
        {EAI_AGAIN, 0, false, gai_strerror(EAI_AGAIN), false},
        {EAI_SYSTEM, EIO, false, "getaddrinfo failed: Input/output error", false},
        // A name that exists with IPv6 addresses only: what a DNS server
        // answers, and what a resolver with no DNS server says of a name
        // that /etc/hosts gives IPv6 addresses only.
        {EAI_NODATA, 0, true, "no IPv4 address for h.example: it has IPv6 addresses only", true},
        {EAI_ADDRFAMILY, 0, true, "no IPv4 address for h.example: it has IPv6 addresses only", true},
        {EAI_NONAME, 0, true, "no IPv4 address for h.example: it has IPv6 addresses only", true},
        {EAI_AGAIN, 0, true,
         std::string("no IPv4 address for h.example: it has IPv6 addresses only; the IPv4 look-up said: ") +
             gai_strerror(EAI_AGAIN),
         true},
    };
    for (const Case &c : cases) {
        LookupFailure f = lookup_failure("h.example", c.rc, c.error, c.onlyIpv6);
        EXPECT_EQ(f.why, c.why) << c.rc;
        EXPECT_EQ(f.lasting, c.lasting) << c.rc;
    }
}

uint32_t ip(const char *text) {
    uint32_t addr = 0;
    EXPECT_TRUE(parse_ipv4(text, addr)) << text;
    return addr;
}

TEST(AddressCheck, PeerAndBindAddresses) {
    // eth1 is a /32 whose broadcast address is its own.
    const Machine machine{{{"lo", ip("127.0.0.1"), 0},
                           {"eth0", ip("10.0.0.5"), ip("10.0.0.255")},
                           {"eth1", ip("198.51.100.7"), ip("198.51.100.7")}}};
    // A peer at `addr` while the peer socket is bound to `bind` ("0.0.0.0":
    // any): "" when taken, else part of the refusal.
    struct Peer {
        const char *addr, *bind, *why;
    } peers[] = {
        {"10.0.0.7", "0.0.0.0", ""},
        {"192.0.2.1", "10.0.0.5", ""},
        {"0.0.0.0", "0.0.0.0", "the unspecified address"},
        {"0.0.0.0", "127.0.0.1", "the unspecified address"},
        {"255.255.255.255", "0.0.0.0", "the broadcast address, which reaches every machine"},
        {"255.255.255.255", "10.0.0.5", "the broadcast address, which reaches every machine"},
        {"10.0.0.255", "0.0.0.0", "the broadcast address of eth0"},
        {"10.0.0.255", "10.0.0.5", "the broadcast address of eth0"},
        {"224.0.0.0", "0.0.0.0", "a multicast address"},
        {"239.255.255.255", "0.0.0.0", "a multicast address"},
        {"223.255.255.255", "0.0.0.0", ""},
        {"240.0.0.1", "0.0.0.0", ""},
        // Bound to any address, norvd receives on all of this machine's.
        {"127.0.0.1", "0.0.0.0", "a loopback address of this machine, and the peer socket is bound to any"},
        {"127.0.0.2", "0.0.0.0", "a loopback address of this machine"},
        {"127.255.255.254", "0.0.0.0", "a loopback address of this machine"},
        {"126.255.255.255", "0.0.0.0", ""},
        {"128.0.0.1", "0.0.0.0", ""},
        {"10.0.0.5", "0.0.0.0", "the address of eth0 on this machine"},
        // Bound to one address, only that one is norvd's own: several norvds
        // of one machine, each on an address of its own, are peers.
        {"127.0.0.1", "127.0.0.1", "norvd's own address (bind)"},
        {"10.0.0.5", "10.0.0.5", "norvd's own address (bind)"},
        {"127.0.0.2", "127.0.0.1", ""},
        {"127.0.0.1", "127.0.0.3", ""},
        {"10.0.0.5", "127.0.0.1", ""},
        {"198.51.100.7", "0.0.0.0", "the address of eth1 on this machine"},
        {"198.51.100.7", "10.0.0.5", ""},
    };
    for (const Peer &p : peers) {
        std::string why = peer_address_problem(ip(p.addr), ip(p.bind), machine);
        if (*p.why == '\0')
            EXPECT_EQ(why, "") << p.addr << " bound to " << p.bind;
        else
            EXPECT_EQ(why.find(p.why), 0u) << p.addr << " bound to " << p.bind << ": " << why;
    }
    struct Bind {
        const char *addr, *why;
    } binds[] = {
        {"0.0.0.0", ""},
        {"127.0.0.1", ""},
        {"10.0.0.5", ""},
        {"255.255.255.255", "the broadcast address, not one of this machine's"},
        {"10.0.0.255", "the broadcast address of eth0, not one of this machine's"},
        {"224.0.0.1", "a multicast address, not one of this machine's"},
        {"239.1.2.3", "a multicast address"},
        {"198.51.100.7", ""},
    };
    for (const Bind &b : binds) EXPECT_EQ(bind_address_problem(ip(b.addr), machine).find(b.why), 0u) << b.addr;
    EXPECT_EQ(bind_address_problem(ip("10.0.0.5"), machine), "");

    // The settings: the peers written as names wait for their look-up.
    EXPECT_EQ(check_bind("", machine), "");
    EXPECT_EQ(check_bind("10.0.0.5", machine), "");
    EXPECT_EQ(check_bind("host.example", machine), "bind needs an IPv4 address, not 'host.example'");
    EXPECT_EQ(check_bind("224.0.0.1", machine), "bind 224.0.0.1: a multicast address, not one of this machine's");
    const Peers group = {{1, "127.0.0.1.example"}, {2, "10.0.0.9"}, {3, "127.0.0.2"}};
    EXPECT_EQ(check_peers(group, "127.0.0.1", machine), "");
    EXPECT_EQ(check_peers(group, "127.0.0.2", machine).find("peer 3 at 127.0.0.2: norvd's own address"), 0u);
    EXPECT_EQ(check_peers(group, "", machine).find("peer 3 at 127.0.0.2: a loopback address"), 0u);
}

}  // namespace
}  // namespace norvd
