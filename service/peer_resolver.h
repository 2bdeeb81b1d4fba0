// peer_resolver.h: the addresses of the peers given by name.
//
// getaddrinfo may block for seconds (a DNS server that does not answer), so
// names are resolved in a thread of their own and norvd's loop never waits
// for one. A name that does not resolve is tried again after a back-off
// (resolve_backoff), for as long as it takes: a peer's name may come to exist
// after norvd started (DNS not up yet at boot).
#ifndef NORVD_PEER_RESOLVER_H
#define NORVD_PEER_RESOLVER_H

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace norvd {

// The wait before the next attempt after `failures` failed ones (1 or more):
// 1 s, doubling, at most 60 s.
uint64_t resolve_backoff(unsigned failures);

// The IPv4 address written in `host` (a dotted quad), with the peer port.
std::optional<sockaddr_in> numeric_peer(const std::string &host);

class PeerResolver {
public:
    struct Answer {
        uint8_t id = 0;
        uint64_t generation = 0;  // as asked: a later reload makes it stale
        std::optional<sockaddr_in> addr;  // with the peer port; nothing when it failed
        std::string why;  // why it failed
    };

    // Starts the thread. Signals that norvd takes through its signalfd must
    // be blocked already. Returns nullptr with the failure in `error`.
    static std::unique_ptr<PeerResolver> start(std::string &error);

    // Stops the thread; a thread caught in a lookup is left to end by itself
    // (it only touches what it shares with nobody else by then).
    ~PeerResolver();
    PeerResolver(const PeerResolver &) = delete;
    PeerResolver &operator=(const PeerResolver &) = delete;

    // Asks for the IPv4 address of `host`. Never waits.
    void ask(uint8_t id, const std::string &host, uint64_t generation);

    // An answer, oldest first; false when none waits.
    bool take(Answer &answer);

    // Readable while answers wait.
    int fd() const;

private:
    struct Shared;
    explicit PeerResolver(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
    std::shared_ptr<Shared> shared_;
};

}  // namespace norvd

#endif  // NORVD_PEER_RESOLVER_H
