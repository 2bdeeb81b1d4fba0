// How norvd waits between tries to resolve a peer's name, and the names it
// takes as addresses without asking.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "peer_resolver.h"
#include "peer_wire.h"

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

}  // namespace
}  // namespace norvd
