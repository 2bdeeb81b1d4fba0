// peer_resolver.cc: the thread that resolves the peers' names.
#include "peer_resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "fd.h"
#include "peer_wire.h"
#include "pty_device.h"

namespace norvd {

using norv::Fd;

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
    // Where no DNS server answers, the IPv4 look-up fails as a temporary
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

}  // namespace

struct PeerResolver::Shared {
    struct Ask {
        uint8_t id;
        std::string host;
        uint64_t generation;
    };
    Fd event;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Ask> asked;     // guarded by mutex
    std::deque<Answer> done;   // guarded by mutex
    bool stop = false;         // guarded by mutex

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stop || !asked.empty(); });
            if (stop) return;
            Ask a = std::move(asked.front());
            asked.pop_front();
            lock.unlock();

            Answer answer{a.id, a.generation, {}, {}};
            addrinfo hints{};
            hints.ai_family = AF_INET;  // the peer socket is IPv4
            hints.ai_socktype = SOCK_DGRAM;
            addrinfo *res = nullptr;
            int rc = getaddrinfo(a.host.c_str(), nullptr, &hints, &res);
            int error = errno;
            for (const addrinfo *r = rc == 0 ? res : nullptr; r != nullptr; r = r->ai_next) {
                if (r->ai_family != AF_INET || r->ai_addrlen < sizeof(sockaddr_in)) continue;
                sockaddr_in addr;
                std::memcpy(&addr, r->ai_addr, sizeof addr);
                addr.sin_port = htons(peer::kPort);
                answer.addrs.push_back(addr);
            }
            if (res != nullptr) freeaddrinfo(res);
            if (answer.addrs.empty()) {
                if (rc == 0) rc = EAI_NONAME;
                // Out of memory or a bad call says nothing of the name.
                bool ask = rc != EAI_SYSTEM && rc != EAI_MEMORY && rc != EAI_BADFLAGS;
                answer.failure = lookup_failure(a.host, rc, error, ask && only_ipv6(a.host));
            }

            lock.lock();
            done.push_back(std::move(answer));
            uint64_t one = 1;
            while (write(event.get(), &one, sizeof one) < 0 && errno == EINTR) {
            }
        }
    }
};

std::unique_ptr<PeerResolver> PeerResolver::start(std::string &error) {
    auto shared = std::make_shared<Shared>();
    shared->event.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!shared->event.valid()) return error = failed("eventfd"), nullptr;
    try {
        // The thread holds the shared part for as long as it runs, so that
        // norvd can stop without waiting for a lookup that hangs.
        std::thread([shared] { shared->run(); }).detach();
    } catch (const std::system_error &e) {
        error = std::string("starting a thread failed: ") + e.what();
        return nullptr;
    }
    return std::unique_ptr<PeerResolver>(new PeerResolver(std::move(shared)));
}

PeerResolver::~PeerResolver() {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stop = true;
    }
    shared_->wake.notify_one();
}

void PeerResolver::ask(uint8_t id, const std::string &host, uint64_t generation) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->asked.push_back(Shared::Ask{id, host, generation});
    }
    shared_->wake.notify_one();
}

bool PeerResolver::take(Answer &answer) {
    uint64_t count;
    while (read(shared_->event.get(), &count, sizeof count) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->done.empty()) return false;
    answer = std::move(shared_->done.front());
    shared_->done.pop_front();
    return true;
}

int PeerResolver::fd() const { return shared_->event.get(); }

}  // namespace norvd
