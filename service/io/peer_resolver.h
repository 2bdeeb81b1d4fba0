// peer_resolver.h: the addresses of the peers given by name.
//
// getaddrinfo may block for seconds (a DNS server that stays silent), so
// names are resolved in a thread of their own (worker.h) and norvd's loop
// never waits for one. A name that does not resolve is tried again after a
// back-off (resolve_backoff), for as long as it takes: a peer's name may come
// to exist after norvd started (DNS not up yet at boot). A name that has IPv6
// addresses only is a mistake of the configuration, not a passing failure,
// and is told as one; it is still tried again, at the slowest pace, since
// its owner may give it an IPv4 address without telling norvd.
#ifndef NORVD_PEER_RESOLVER_H
#define NORVD_PEER_RESOLVER_H

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loop/worker.h"

namespace norvd {

// The wait before the next attempt after `failures` failed ones (1 or more):
// 1 s, doubling, at most 60 s.
uint64_t resolve_backoff(unsigned failures);

// The IPv4 address written in `host` (a dotted quad), with the peer port.
std::optional<sockaddr_in> numeric_peer(const std::string &host);

// What a failed look-up of a peer's name tells.
struct LookupFailure {
    std::string why;
    bool lasting = false;  // the name exists, with no IPv4 address: a mistake
};

// The failure of the IPv4 look-up of `host`: getaddrinfo's result `rc` (not
// 0) and the errno it left (for EAI_SYSTEM); `onlyIpv6`: a look-up of any
// family then found the name with IPv6 addresses only.
LookupFailure lookup_failure(const std::string &host, int rc, int error, bool onlyIpv6);

class PeerResolver {
public:
    struct Result {
        uint8_t id = 0;
        uint64_t generation = 0;  // as asked: a later reload makes it stale
        // The name's IPv4 addresses in the resolver's order, with the peer
        // port; none when it failed.
        std::vector<sockaddr_in> addrs;
        LookupFailure failure;  // why it failed
    };

    // Starts the thread. Signals that norvd takes through its signalfd must
    // be blocked already. Returns nullptr with the failure in `error`.
    static std::unique_ptr<PeerResolver> start(std::string &error);

    // Stops the thread; a thread caught in a lookup is left to end by itself
    // (it only touches what it shares with nobody else by then).
    ~PeerResolver();
    PeerResolver(const PeerResolver &) = delete;
    PeerResolver &operator=(const PeerResolver &) = delete;

    // Asks for the IPv4 addresses of `host`. Never waits.
    void ask(uint8_t id, const std::string &host, uint64_t generation);

    // A result, oldest first; false when none waits.
    bool take(Result &result);

    // Readable while results wait.
    int fd() const;

private:
    struct Ask {
        uint8_t id;
        std::string host;
        uint64_t generation;
    };
    // The work of the thread: the look-ups of `asks`, in order.
    static std::vector<Result> resolve(std::vector<Ask> asks);

    explicit PeerResolver(std::unique_ptr<Worker<Ask, Result>> worker) : worker_(std::move(worker)) {}
    std::unique_ptr<Worker<Ask, Result>> worker_;
};

}  // namespace norvd

#endif  // NORVD_PEER_RESOLVER_H
