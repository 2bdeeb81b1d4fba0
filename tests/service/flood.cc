// flood.cc: hostile datagrams at the UDP ports of timed sockets, for the
// hostile end-to-end tests.
//
//   flood FROM SECONDS RATE SEED PORT...
//
// Sends RATE datagrams a second to each 127.0.0.1:PORT for SECONDS, from the
// local address FROM (so that a receiver's output tells them from real
// answers). A third are short (0 to 183 bytes, no whole header), a sixth long
// (up to 1500 bytes), the rest a whole header with a ping payload behind it.
// The headers go through every kind and every senderId 0 to 255 in turn, and
// carry registration ids of every sort: none, ids of machine 0 that no norvd
// handed out, ids of the other machines 1 to 4, negative and random ones;
// their echoes are zero, random, or plausible for the current clock. What
// comes back (NORVpong answers what it accepts) is read and dropped. Ends
// with one line: "sent N short S header H long L registered G".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "norv.h"
#include "wire.h"

using namespace norv::wire;

namespace {

// The base clock of the service time, so that plausible echoes look like its stamps.
uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

struct Counts {
    unsigned long sent = 0, shortOnes = 0, header = 0, longOnes = 0, registered = 0;
};

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    std::vector<uint8_t> next(Counts &c) {
        uint32_t pick = rng_() % 6;
        std::vector<uint8_t> d;
        if (pick < 2) {
            d.resize(rng_() % header::kSize);
            fill(d, 0);
            // Some short ones look like the start of a header of kind 0.
            if (d.size() > header::kKind && rng_() % 2) d[header::kKind] = 0;
            ++c.shortOnes;
            return d;
        }
        size_t len = header::kSize + ping::kSize;
        if (pick == 5) {
            len = header::kSize + rng_() % (1500 - header::kSize + 1);
            ++c.longOnes;
        } else {
            len = header::kSize + rng_() % (ping::kSize + 1);
            ++c.header;
        }
        d.resize(len);
        fill(d, header::kSize);
        TimedHeader h{};
        h.senderId = static_cast<uint8_t>(sender_++);
        // Half of kind 0, which a receiver takes in; the rest every kind in turn.
        h.kind = rng_() % 2 ? 0 : static_cast<uint8_t>(kind_++);
        uint64_t clock = now_ns();
        h.sendStamp = stamp(clock);
        h.elapsed = rng_() % 2 ? rng_() % 100000 : wide();
        for (PeerEcho &e : h.echoes) {
            switch (rng_() % 3) {
            case 0:
                e = PeerEcho{};
                break;
            case 1:
                e = PeerEcho{wide(), wide(), wide(), wide()};
                break;
            default:
                e = PeerEcho{rng_() % 1'000'000, clock - rng_() % 1'000'000'000, rng_() % 100000,
                             rng_() % 100000};
            }
        }
        h.registrationId = registration_id();
        if (h.registrationId != 0) ++c.registered;
        encode_timed_header(h, d.data());
        return d;
    }

private:
    void fill(std::vector<uint8_t> &d, size_t from) {
        for (size_t i = from; i < d.size(); ++i) d[i] = static_cast<uint8_t>(rng_());
    }
    uint64_t wide() { return (static_cast<uint64_t>(rng_()) << 32) | rng_(); }
    uint64_t stamp(uint64_t clock) {
        switch (rng_() % 4) {
        case 0: return 0;
        case 1: return wide();
        case 2: return UINT64_MAX - rng_() % 4;
        default: return clock - rng_() % 10'000'000;
        }
    }
    int32_t registration_id() {
        constexpr int kShift = 26;  // the machine of an id stands in bits 26 to 28
        switch (rng_() % 6) {
        case 0: return 0;
        case 1: return static_cast<int32_t>(1 + rng_() % 1000);  // machine 0, never handed out
        case 2: return static_cast<int32_t>(((1 + rng_() % 4) << kShift) | (1 + rng_() % 1000));
        case 3: return -static_cast<int32_t>(rng_() % 0x7FFFFFFF) - 1;
        case 4: return INT32_MAX;
        default: return static_cast<int32_t>(rng_());
        }
    }

    std::mt19937 rng_;
    unsigned sender_ = 0;
    unsigned kind_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: flood FROM SECONDS RATE SEED PORT...\n");
        return 2;
    }
    sockaddr_in from{};
    from.sin_family = AF_INET;
    if (inet_pton(AF_INET, argv[1], &from.sin_addr) != 1) {
        fprintf(stderr, "flood: FROM must be an IPv4 address\n");
        return 2;
    }
    double seconds = atof(argv[2]);
    long rate = atol(argv[3]);
    uint32_t seed = static_cast<uint32_t>(strtoul(argv[4], nullptr, 10));
    std::vector<sockaddr_in> targets;
    for (int i = 5; i < argc; ++i) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(atoi(argv[i])));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        targets.push_back(to);
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) < 0) {
        fprintf(stderr, "flood: socket or bind failed: %s\n", strerror(errno));
        return 1;
    }
    Generator gen(seed);
    Counts c;
    // Bursts every 10 ms, each a hundredth of the rate.
    const uint64_t start = monotonic_ns(), end = start + static_cast<uint64_t>(seconds * 1e9);
    uint64_t due = start;
    long perBurst = rate / 100 > 0 ? rate / 100 : 1;
    uint8_t sink[2048];
    while (monotonic_ns() < end) {
        for (const sockaddr_in &to : targets) {
            for (long i = 0; i < perBurst; ++i) {
                std::vector<uint8_t> d = gen.next(c);
                // A full queue or an unreachable port is part of the game.
                sendto(s, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
                ++c.sent;
            }
        }
        while (recv(s, sink, sizeof sink, 0) > 0) {
        }
        due += 10'000'000;
        uint64_t t = monotonic_ns();
        if (due > t) usleep(static_cast<useconds_t>((due - t) / 1000));
    }
    printf("sent %lu short %lu header %lu long %lu registered %lu\n", c.sent, c.shortOnes,
           c.header, c.longOnes, c.registered);
    return 0;
}
