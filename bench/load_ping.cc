// load_ping.cc: registered pings at a steady rate, and what became of them.
//
//   load_ping ADDR SECONDS RATE [DEADLINE_US [RECEIVERS]]
//
// Connects to the local service, binds a timed socket and sends RATE
// registered pings a second to ADDR port 16006 (NORVpong answers them) for
// SECONDS, each with the deadline given (default 2000 us, as NORVping's),
// expected by the machines of RECEIVERS (a mask, default 31: every machine
// of the group). A thread reads the failure notices and counts
// every machine's verdict: timely (with its margin), late (with its lateness)
// or late with the lateness unknown. Each send's clock read is one exchange
// with the service, timed here: its latency is the service's, under whatever
// load the machine has. At the end it waits for the last verdicts and prints
// one JSON object, the exchanges' histogram in it. A figure, not a test: it
// asserts nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "norv.h"
#include "wire.h"

namespace {

uint64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

void sleep_until(uint64_t when) {
    timespec ts{static_cast<time_t>(when / 1'000'000'000u), static_cast<long>(when % 1'000'000'000u)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
    }
}

template <class T>
T quantile(std::vector<T> v, double q) {
    if (v.empty()) return T{};
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

struct Verdicts {
    std::mutex lock;
    uint64_t notices = 0, timely = 0, late = 0, unknown = 0;
    std::vector<int32_t> lateness;  // us, of the late ones
    std::vector<int32_t> margin;    // us, of the timely ones (0 or negative)
};

void read_notices(int noticeFd, Verdicts &v, std::atomic<bool> &stop) {
    uint8_t record[norv::wire::notice::kSize];
    while (!stop.load()) {
        pollfd p{noticeFd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (NORVwaitInfo(noticeFd, record) != 0) continue;
        FailureNotice n = norv::wire::decode_failure_notice(record);
        std::lock_guard<std::mutex> hold(v.lock);
        ++v.notices;
        for (const MachineVerdict &m : n.verdicts) {
            if (m.status == NORV_VERDICT_NOTHING_TO_REPORT) continue;
            if (m.status == NORV_VERDICT_TIMING_FAILURE) {
                if (m.latenessKnown == 1) {
                    ++v.late;
                    v.lateness.push_back(m.lateness);
                } else {
                    ++v.unknown;
                }
            } else {
                ++v.timely;
                v.margin.push_back(m.lateness);
            }
        }
    }
}

}  // namespace

int main(int argc, char *argv[]) {
    if (argc < 4) {
        fprintf(stderr, "usage: load_ping ADDR SECONDS RATE [DEADLINE_US [RECEIVERS]]\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(NORV_PING_PORT);
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) return fprintf(stderr, "load_ping: bad address\n"), 2;
    const uint64_t seconds = strtoull(argv[2], nullptr, 10), rate = strtoull(argv[3], nullptr, 10);
    const uint64_t deadline = (argc > 4 ? strtoull(argv[4], nullptr, 10) : 2000) * 1000;
    const unsigned long receivers = argc > 5 ? strtoul(argv[5], nullptr, 10) : 31;
    if (seconds == 0 || rate == 0 || deadline == 0 || receivers == 0 || receivers > 31)
        return fprintf(stderr, "load_ping: bad figures\n"), 2;

    int requestFd = -1, noticeFd = -1;
    if (openNORVConnection(&requestFd, &noticeFd) < 0) return fprintf(stderr, "load_ping: no service\n"), 1;
    TimedSocket sock{};
    sockaddr_in any{};
    any.sin_family = AF_INET;
    if (NORVsocket(AF_INET, &sock, requestFd) < 0 ||
        NORVbind(reinterpret_cast<const sockaddr *>(&any), sizeof any, &sock) < 0)
        return fprintf(stderr, "load_ping: no timed socket\n"), 1;

    Verdicts verdicts;
    std::atomic<bool> stop{false};
    std::thread notices(read_notices, noticeFd, std::ref(verdicts), std::ref(stop));

    ActivityNames names{};
    strcpy(names.moduleName, "load_ping");
    strcpy(names.activityName, "ping");
    strcpy(names.wcetName, "ping_wcet");
    static uint8_t buffer[1000];
    std::vector<uint64_t> exchange;  // ns
    exchange.reserve(seconds * rate);
    uint64_t sent = 0, refused = 0, answers = 0;
    const uint64_t period = 1'000'000'000u / rate, start = now_ns(), end = start + seconds * 1'000'000'000u;
    for (uint64_t next = start; next < end; next += period) {
        // Read the answers that came meanwhile, then wait for the next send.
        for (;;) {
            uint64_t t = now_ns();
            if (t >= next) break;
            pollfd p{sock.udpSocket, POLLIN, 0};
            int wait_ms = static_cast<int>((next - t) / 1'000'000u);
            if (poll(&p, 1, wait_ms) <= 0) {
                sleep_until(next);
                break;
            }
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            uint64_t stamp, estimate, error;
            if (NORVrecvfrom(buffer, 20, 0, reinterpret_cast<sockaddr *>(&from), &fromLen, &sock, &stamp,
                             &estimate, &error, 0) > 0)
                ++answers;
        }
        uint64_t before = now_ns();
        uint64_t stamp = getNORVTimestamp(requestFd);
        exchange.push_back(now_ns() - before);
        if (stamp >> 63) return fprintf(stderr, "load_ping: the clock read failed\n"), 1;
        int r = NORVsendtoWFD(buffer, 20, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to,
                              static_cast<uint8_t>(receivers), NORV_PING_PORT, &sock, stamp, 0, deadline, names);
        if (r == NORV_REFUSED_TABLE_FULL || r == NORV_REFUSED_NO_RECEIVER)
            ++refused;
        else if (r < 0)
            return fprintf(stderr, "load_ping: the send failed\n"), 1;
        else
            ++sent;
    }
    // The last verdicts come at the deadline plus the grace of 100 ms.
    for (int i = 0; i < 40; ++i) {
        {
            std::lock_guard<std::mutex> hold(verdicts.lock);
            if (verdicts.notices >= sent) break;
        }
        usleep(50'000);
    }
    stop = true;
    notices.join();

    std::lock_guard<std::mutex> hold(verdicts.lock);
    auto us = [](uint64_t ns) { return static_cast<double>(ns) / 1000.0; };
    printf("{\"sent\":%" PRIu64 ",\"refused\":%" PRIu64 ",\"answers\":%" PRIu64 ",\"notices\":%" PRIu64
           ",\"timely\":%" PRIu64 ",\"late\":%" PRIu64 ",\"unknown\":%" PRIu64
           ",\"lateness_us\":{\"p50\":%d,\"p99\":%d,\"max\":%d}"
           ",\"margin_us\":{\"p50\":%d,\"p01\":%d}"
           ",\"exchange_us\":{\"p50\":%.1f,\"p99\":%.1f,\"p999\":%.1f,\"max\":%.1f}",
           sent, refused, answers, verdicts.notices, verdicts.timely, verdicts.late, verdicts.unknown,
           quantile(verdicts.lateness, 0.5), quantile(verdicts.lateness, 0.99),
           verdicts.lateness.empty() ? 0 : *std::max_element(verdicts.lateness.begin(), verdicts.lateness.end()),
           quantile(verdicts.margin, 0.5), quantile(verdicts.margin, 0.99),
           us(quantile(exchange, 0.5)), us(quantile(exchange, 0.99)), us(quantile(exchange, 0.999)),
           us(exchange.empty() ? 0 : *std::max_element(exchange.begin(), exchange.end())));
    // The exchanges' histogram, as cyclictest gives the scheduler's: one
    // line of counts by upper bound in us (powers of two, the last open).
    constexpr int kBuckets = 14;  // up to 2^13 us = 8192 us, then beyond
    uint64_t counts[kBuckets + 1] = {};
    for (uint64_t ns : exchange) {
        int b = 0;
        while (b < kBuckets && ns > (1000ull << b)) ++b;
        ++counts[b];
    }
    printf(",\"exchange_histogram\":[");
    for (int b = 0; b <= kBuckets; ++b)
        printf("%s[%d,%" PRIu64 "]", b ? "," : "", b < kBuckets ? 1 << b : -1, counts[b]);
    printf("]}\n");
    closeNORVConnection(requestFd, noticeFd);
    return 0;
}
