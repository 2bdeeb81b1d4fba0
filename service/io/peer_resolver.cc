// peer_resolver.cc: the thread that resolves the peers' names.
#include "io/peer_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/peer_wire.h"

namespace norvd {

namespace {

constexpr uint64_t kFirstWait = 1'000'000'000;
constexpr uint64_t kLongestWait = 60'000'000'000;

}  // namespace

uint64_t resolve_backoff(unsigned failures) {
    uint64_t wait = kFirstWait;
    for (unsigned i = 1; i < failures && wait < kLongestWait; ++i) wait *= 2;
    return std::min(wait, kLongestWait);
}

std::optional<sockaddr_in> numeric_peer(const std::string &host) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(peer::kPort);
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return std::nullopt;
    return addr;
}

LookupFailure lookup_failure(const std::string &host, int rc, int error, bool onlyIpv6) {
    std::string said = rc == EAI_SYSTEM ? "getaddrinfo failed: " + std::string(std::strerror(error))
                                        : std::string(gai_strerror(rc));
    if (!onlyIpv6) return {said, false};
    // Where no DNS server is reachable, the IPv4 look-up fails as a temporary
    // failure even though the name was found in /etc/hosts: told as well.
    std::string why = "no IPv4 address for " + host + ": it has IPv6 addresses only";
    if (rc == EAI_AGAIN || rc == EAI_SYSTEM) why += "; the IPv4 look-up said: " + said;
    return {why, true};
}

namespace {

// Whether `host` has addresses, all of them IPv6 (asked after its IPv4
// look-up failed).
bool only_ipv6(const std::string &host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0) return false;
    bool only = res != nullptr;
    for (const addrinfo *r = res; r != nullptr; r = r->ai_next) only = only && r->ai_family == AF_INET6;
    freeaddrinfo(res);
    return only;
}

// The IPv4 addresses of `host`, or why there are none.
PeerResolver::Result resolve_one(const std::string &host) {
    PeerResolver::Result result;
    addrinfo hints{};
    hints.ai_family = AF_INET;  // the peer socket is IPv4
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    int error = errno;
    for (const addrinfo *r = rc == 0 ? res : nullptr; r != nullptr; r = r->ai_next) {
        if (r->ai_family != AF_INET || r->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in addr;
        std::memcpy(&addr, r->ai_addr, sizeof addr);
        addr.sin_port = htons(peer::kPort);
        result.addrs.push_back(addr);
    }
    if (res != nullptr) freeaddrinfo(res);
    if (result.addrs.empty()) {
        if (rc == 0) rc = EAI_NONAME;
        // Out of memory or a bad call says nothing of the name.
        bool ask = rc != EAI_SYSTEM && rc != EAI_MEMORY && rc != EAI_BADFLAGS;
        result.failure = lookup_failure(host, rc, error, ask && only_ipv6(host));
    }
    return result;
}

}  // namespace

std::vector<PeerResolver::Result> PeerResolver::resolve(std::vector<Ask> asks) {
    std::vector<Result> results;
    for (const Ask &a : asks) {
        results.push_back(resolve_one(a.host));
        results.back().id = a.id;
        results.back().generation = a.generation;
    }
    return results;
}

std::unique_ptr<PeerResolver> PeerResolver::start(std::string &error) {
    // One name at a time: each result goes out as soon as its own look-up
    // ends, not after those of the names asked with it. A getaddrinfo may
    // hang for as long as a DNS server stays silent, and the look-up
    // touches nothing of this object: the thread is detached, so that norvd
    // can stop without waiting for it.
    auto worker = Worker<Ask, Result>::start(resolve, Take::kOne, Stop::kDetach, error);
    if (!worker) return nullptr;
    return std::unique_ptr<PeerResolver>(new PeerResolver(std::move(worker)));
}

PeerResolver::~PeerResolver() = default;

void PeerResolver::ask(uint8_t id, const std::string &host, uint64_t generation) {
    worker_->ask(Ask{id, host, generation});
}

bool PeerResolver::take(Result &result) { return worker_->take(result); }

int PeerResolver::fd() const { return worker_->fd(); }

}  // namespace norvd
