// bench_service.cc: the figures that need the timing service (norvd) and the
// responder (NORVpong) running on this machine. scripts/bench starts both in
// private namespaces and runs this program there.
//
//   exchange     getNORVTimestamp against norvd          vs a bare pty echo set up as norvd sets
//                (median and p99 of single exchanges,       its devices up (its epoll loop, and a
//                far end on CPU 0 and on CPU 1)             blocking read); a pipe ping-pong
//   scale        1, 4, 16, 60 connections exchanging     latency, exchanges/s, norvd's CPU per
//                at once                                    exchange, memory of norvd and helpers
//   registered   clock read, registration, receipt,      norvd's CPU per send at 1, 256, 4000
//   sends        notice, at 1, 256 and 4000 pending         pending; the receipt-to-notice time
//   timed echo   NORVsendto to NORVpong, NORVrecvfrom    vs a raw UDP echo on loopback
//                of its answer
//   tightness    median error bound of the answers       vs half the median round trip
//
// The far end of each floor is a child process pinned where norvd and NORVpong
// are pinned (NORV_BENCH_SERVER_CPU, or the exchange's own argument); this
// process is pinned by its caller. norvd's process id comes in
// NORV_BENCH_NORVD_PID: the exchange pins norvd's threads to its CPU, and the
// CPU and memory figures are read from /proc.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "channel_io.h"
#include "io/pty_device.h"
#include "norv.h"
#include "wire.h"

using namespace norv::bench;
using namespace norv::wire;

namespace {

constexpr int kPayload = ping::kSize;
constexpr size_t kDatagram = header::kSize + kPayload;
// Service exchanges on the path of one timed echo: the clock read of our send,
// of NORVpong's receive and of its answer, and of our receive.
constexpr int kExchangesPerEcho = 4;
// How long the connections of the scale figure exchange, a repetition.
constexpr uint64_t kScaleWindowNs = 400'000'000;
// Sends made a repetition of the registered-send figure.
constexpr int kSendsPerRepetition = 3000;

int requestFd = -1;
int noticeFd = -1;

sockaddr_in pong_address() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(NORV_PING_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

pid_t norvd_pid() {
    const char *s = std::getenv("NORV_BENCH_NORVD_PID");
    return s != nullptr && *s != '\0' ? static_cast<pid_t>(std::atoi(s)) : -1;
}

void pin_norvd(int cpu) {
    if (norvd_pid() > 0) pin_process(norvd_pid(), cpu);
}

// The far end's CPU of each exchange figure: 0 and, with two CPUs or more, 1.
void server_cpus(benchmark::internal::Benchmark *b) {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    for (int cpu = 0; cpu < std::min(n, 2L); ++cpu) b->Arg(cpu);
}

// ---- Control-channel exchange ------------------------------------------------------

// Runs `exchange` once an iteration and times each one: the median and the
// 99th percentile of single exchanges become the counters p50_ns and p99_ns.
// The far end's CPU time per exchange (norvd's, or the echo's) becomes
// cpu_ns_per_op.
template <typename Exchange>
void timed_exchanges(benchmark::State &state, pid_t far, Exchange exchange) {
    std::vector<double> took;
    took.reserve(1 << 16);
    double cpu0 = process_cpu_ns(far);
    for (auto _ : state) {
        uint64_t t0 = monotonic_ns();
        if (!exchange()) {
            state.SkipWithError("exchange failed");
            return;
        }
        took.push_back(static_cast<double>(monotonic_ns() - t0));
    }
    double cpu = process_cpu_ns(far) - cpu0;
    state.counters["p50_ns"] = quantile(took, 0.5);
    state.counters["p99_ns"] = quantile(took, 0.99);
    state.counters["cpu_ns_per_op"] = far > 0 && !took.empty() ? cpu / static_cast<double>(took.size()) : 0;
}

// 8 bytes out, 8 bytes back: a request of command 2 and its reply.
bool request_and_reply(int out, int back) {
    uint8_t request[8] = {2, 0, 0, 0, 0, 0, 0, 0};
    uint8_t reply[8];
    return write(out, request, sizeof request) == sizeof request && norv::read_full(back, reply, sizeof reply) == 0;
}

// The echo's side: `got` more bytes were read; every 8 of them, a whole
// request, get 8 bytes written to `out`. `carry` keeps the count of bytes of
// a request not yet whole.
void answer_requests(int out, ssize_t got, size_t &carry) {
    static const uint8_t reply[8] = {};
    for (carry += static_cast<size_t>(got); carry >= 8; carry -= 8)
        if (write(out, reply, sizeof reply) < 0) _exit(0);
}

void BM_Exchange_getNORVTimestamp(benchmark::State &state) {
    pin_norvd(static_cast<int>(state.range(0)));
    timed_exchanges(state, norvd_pid(), [] { return !(getNORVTimestamp(requestFd) >> 63); });
    pin_norvd(server_cpu());
}
BENCHMARK(BM_Exchange_getNORVTimestamp)->Apply(server_cpus);

// A pseudo-terminal made by norvd's own code (PtyDevice::create: raw mode,
// VMIN 64, VTIME 1, a non-blocking master), its slave opened by name as a
// client opens /dev/rtfN.
struct BarePty {
    std::unique_ptr<norvd::PtyDevice> dev;
    norvd::Fd client;
    BarePty() {
        norvd::Fd slave;  // norvd hands it to a guard; here it just closes
        std::string why;
        dev = norvd::PtyDevice::create("/dev/bench-pty", 0, norvd::DeviceAccess{}, slave, why);
        if (dev) client.reset(open(dev->node().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    }
    bool ok() const { return dev && client.valid(); }
};

// Exchanges on a bare pty whose master `serve` answers in a child process
// on the far end's CPU.
template <typename Serve>
void pty_exchanges(benchmark::State &state, Serve serve) {
    BarePty pty;
    if (!pty.ok()) {
        state.SkipWithError("no pty");
        return;
    }
    int master = pty.dev->master();
    Child echo([&] { serve(master); }, static_cast<int>(state.range(0)));
    timed_exchanges(state, echo.pid(), [&] { return request_and_reply(pty.client.get(), pty.client.get()); });
}

// The floor of an exchange with norvd: the same pty, and an echo whose loop
// is norvd's: an edge-triggered epoll on the master, every byte read until
// EAGAIN, the replies written, and one more look without waiting (norvd
// catches up on requests before it sleeps again).
void BM_Exchange_PtyEpoll(benchmark::State &state) {
    pty_exchanges(state, [](int master) {
        int ep = epoll_create1(0);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLET;
        ev.data.fd = master;
        if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, master, &ev) < 0) _exit(1);
        epoll_event events[32];
        uint8_t buf[4096];
        size_t carry = 0;
        for (;;) {
            int ready = epoll_wait(ep, events, 32, -1);
            for (int round = 0; ready > 0 && round <= 8; ++round) {
                for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) answer_requests(master, n, carry);
                ready = epoll_wait(ep, events, 32, 0);
            }
        }
    });
}
BENCHMARK(BM_Exchange_PtyEpoll)->Apply(server_cpus);

// The same pty, answered by a plain blocking read on the master.
void BM_Exchange_PtyBlocking(benchmark::State &state) {
    pty_exchanges(state, [](int master) {
        // The master is the child's alone from here: the parent only keeps it open.
        if (fcntl(master, F_SETFL, fcntl(master, F_GETFL) & ~O_NONBLOCK) < 0) _exit(1);
        uint8_t buf[64];
        size_t carry = 0;
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) answer_requests(master, n, carry);
    });
}
BENCHMARK(BM_Exchange_PtyBlocking)->Apply(server_cpus);

// Another kind of floor, for comparison: 8 bytes out on one pipe and back
// on another.
void BM_Exchange_PipeFloor(benchmark::State &state) {
    int out[2], back[2];
    if (pipe(out) < 0 || pipe(back) < 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    Child echo(
        [&] {
            uint8_t buf[64];
            size_t carry = 0;
            for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) answer_requests(back[1], n, carry);
        },
        static_cast<int>(state.range(0)));
    timed_exchanges(state, echo.pid(), [&] { return request_and_reply(out[1], back[0]); });
    for (int fd : {out[0], out[1], back[0], back[1]}) close(fd);
}
BENCHMARK(BM_Exchange_PipeFloor)->Apply(server_cpus);

// ---- Many connections at once ---------------------------------------------------------

// Memory of norvd and of the processes it keeps (the guard keeper, and the
// guards it forked: one a pty), as proportional set sizes.
void memory_counters(benchmark::State &state, pid_t norvd) {
    double helpers = 0, count = 0;
    std::vector<pid_t> todo = children_of(norvd);
    while (!todo.empty()) {
        pid_t p = todo.back();
        todo.pop_back();
        helpers += pss_kb(p);
        ++count;
        for (pid_t c : children_of(p)) todo.push_back(c);
    }
    state.counters["norvd_pss_kb"] = pss_kb(norvd);
    state.counters["helpers_pss_kb"] = helpers;
    state.counters["helpers"] = count;
}

struct Connection {
    int request = -1, notice = -1;
    Connection() {
        if (openNORVConnection(&request, &notice) != 0) request = notice = -1;
    }
    ~Connection() {
        if (request >= 0) closeNORVConnection(request, notice);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
};

// N connections, each with a thread of its own that reads the clock
// (command 2) as fast as norvd answers, for kScaleWindowNs. norvd's CPU time
// over the window, per exchange; the latencies of all exchanges together.
void BM_Scale(benchmark::State &state) {
    size_t n = static_cast<size_t>(state.range(0));
    pid_t norvd = norvd_pid();
    pin_norvd(server_cpu());
    std::vector<std::unique_ptr<Connection>> connections;
    for (size_t i = 0; i < n; ++i) {
        connections.push_back(std::make_unique<Connection>());
        if (connections.back()->request < 0) {
            state.SkipWithError("cannot connect");
            return;
        }
    }
    std::vector<double> took;
    double exchanges = 0, cpu = 0, seconds = 0;
    for (auto _ : state) {
        std::atomic<int> ready{0};
        std::atomic<bool> go{false}, stop{false};
        std::atomic<bool> failed{false};
        std::vector<std::vector<double>> each(n);
        std::vector<std::thread> threads;
        uint64_t t0 = 0, t1 = 0;
        for (size_t i = 0; i < n; ++i)
            threads.emplace_back([&, i] {
                each[i].reserve(1 << 15);
                ++ready;
                while (!go) std::this_thread::yield();
                while (!stop) {
                    uint64_t a = monotonic_ns();
                    if (getNORVTimestamp(connections[i]->request) >> 63) {
                        failed = true;
                        return;
                    }
                    uint64_t b = monotonic_ns();
                    // An exchange still under way at the end does not count.
                    if (!stop) each[i].push_back(static_cast<double>(b - a));
                }
            });
        while (ready < static_cast<int>(n)) std::this_thread::yield();
        double cpu0 = process_cpu_ns(norvd);
        t0 = monotonic_ns();
        go = true;
        while (monotonic_ns() < t0 + kScaleWindowNs && !failed) usleep(10'000);
        stop = true;
        t1 = monotonic_ns();
        double cpu1 = process_cpu_ns(norvd);
        for (auto &t : threads) t.join();
        if (failed) {
            state.SkipWithError("exchange failed");
            return;
        }
        for (auto &e : each) {
            exchanges += static_cast<double>(e.size());
            took.insert(took.end(), e.begin(), e.end());
        }
        cpu += cpu1 - cpu0;
        seconds += static_cast<double>(t1 - t0) / 1e9;
        state.SetIterationTime(static_cast<double>(t1 - t0) / 1e9);
    }
    state.counters["p50_ns"] = quantile(took, 0.5);
    state.counters["p99_ns"] = quantile(took, 0.99);
    state.counters["per_s"] = exchanges / seconds;
    state.counters["cpu_ns_per_op"] = norvd > 0 && exchanges > 0 ? cpu / exchanges : 0;
    if (norvd > 0) memory_counters(state, norvd);
}
BENCHMARK(BM_Scale)->Arg(1)->Arg(4)->Arg(16)->Arg(60)->Iterations(1)->UseManualTime();

// ---- Registered sends against the pending registrations ---------------------------

int32_t register_send_for(int fd, uint8_t machines, uint64_t start, uint64_t deadline) {
    norv::Exchange<command::kRegisterSend> x;
    uint8_t *p = x.payload();
    put_u64le(p, register_send::kStartStamp, start);
    put_u64le(p, register_send::kSecond, deadline);
    put_u8(p, register_send::kValue8, machines);
    put_name(p, register_send::kModuleName, "bench", register_send::kNameWidth);
    if (x.run(fd) < 0) return -1;
    return get_i32le(x.reply.data(), 0);
}

// Keeps PENDING - 1 registrations pending for machine 1 (named to norvd by
// scripts/bench, served by nobody, deadline ten minutes away), then makes
// sends as a sender and its receiver would: a clock read, a registration for
// machine 0 (this machine), its receipt (command 10), which completes it,
// and the read of its notice. So the table holds PENDING registrations while
// each send is judged. Figures: sends a second with their verdicts
// received, norvd's CPU time per send (three requests and a notice), and
// the verdict path: from the receipt's write to the notice read.
void BM_RegisteredSend(benchmark::State &state) {
    int pending = static_cast<int>(state.range(0));
    pid_t norvd = norvd_pid();
    pin_norvd(server_cpu());
    Connection c;  // its registrations go with it
    if (c.request < 0) {
        state.SkipWithError("cannot connect");
        return;
    }
    for (int i = 1; i < pending; ++i)
        if (register_send_for(c.request, 0x02, getNORVTimestamp(c.request), 600'000'000'000) <= 0) {
            state.SkipWithError("registration refused (is machine 1 in norvd's group?)");
            return;
        }
    std::vector<double> verdict;
    verdict.reserve(kSendsPerRepetition);
    double cpu = 0, seconds = 0;
    for (auto _ : state) {
        double cpu0 = process_cpu_ns(norvd);
        uint64_t t0 = monotonic_ns();
        for (int i = 0; i < kSendsPerRepetition; ++i) {
            uint64_t start = getNORVTimestamp(c.request);
            int32_t id = register_send_for(c.request, 0x01, start, 1'000'000'000);
            uint8_t notice[NORV_FAILURE_NOTICE_SIZE];
            uint64_t a = monotonic_ns();
            if (id <= 0 || notify_norv_of_receipt(c.request, 0, id, start + 1000) != 0 ||
                NORVwaitInfo(c.notice, notice) != 0) {
                state.SkipWithError("registered send failed");
                return;
            }
            verdict.push_back(static_cast<double>(monotonic_ns() - a));
        }
        uint64_t t1 = monotonic_ns();
        cpu += process_cpu_ns(norvd) - cpu0;
        seconds += static_cast<double>(t1 - t0) / 1e9;
        state.SetIterationTime(static_cast<double>(t1 - t0) / 1e9);
    }
    state.counters["per_s"] = kSendsPerRepetition / seconds;
    state.counters["cpu_ns_per_op"] = norvd > 0 ? cpu / kSendsPerRepetition : 0;
    state.counters["verdict_p50_ns"] = quantile(verdict, 0.5);
    state.counters["verdict_p99_ns"] = quantile(verdict, 0.99);
}
BENCHMARK(BM_RegisteredSend)->Arg(1)->Arg(256)->Arg(4000)->Iterations(1)->UseManualTime();

// ---- Timed echo through NORVpong ------------------------------------------------------

struct TimedClient {
    TimedSocket ts{};
    bool ok = false;
    TimedClient() {
        if (NORVsocket(AF_INET, &ts, requestFd) < 0) return;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = NORVbind(reinterpret_cast<sockaddr *>(&local), sizeof local, &ts) == 0;
    }
    ~TimedClient() {
        if (ts.udpSocket >= 0) close(ts.udpSocket);
    }
    // One ping and its answer. Returns false when either fails.
    bool echo(uint64_t startStamp, uint64_t *receipt, uint64_t *estimate, uint64_t *error) {
        uint8_t buf[kDatagram] = {};
        sockaddr_in to = pong_address();
        if (NORVsendto(buf, kPayload, 0, reinterpret_cast<sockaddr *>(&to), sizeof to, &ts,
                       startStamp) < 0)
            return false;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        return NORVrecvfrom(buf, kPayload, 0, reinterpret_cast<sockaddr *>(&from), &fromLen, &ts,
                            receipt, estimate, error, 1) == kPayload;
    }
};

void BM_TimedEcho_NORVpong(benchmark::State &state) {
    TimedClient client;
    if (!client.ok) {
        state.SkipWithError("no timed socket");
        return;
    }
    uint64_t receipt, estimate, error;
    for (auto _ : state) {
        if (!client.echo(0, &receipt, &estimate, &error)) {
            state.SkipWithError("timed echo failed");
            break;
        }
    }
    state.counters["exchanges"] = kExchangesPerEcho;
}
BENCHMARK(BM_TimedEcho_NORVpong);

// The floor: the same 204 bytes echoed by a plain UDP socket.
void BM_UdpEcho_Floor(benchmark::State &state) {
    sockaddr_in echoAddress{};
    int echoSocket = loopback_udp(&echoAddress);
    int udp = loopback_udp(nullptr);
    if (echoSocket < 0 || udp < 0) {
        state.SkipWithError("no UDP socket");
        return;
    }
    Child echo([&] {
        uint8_t buf[2048];
        for (;;) {
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            ssize_t n = recvfrom(echoSocket, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from),
                                 &fromLen);
            if (n < 0) _exit(0);
            (void)sendto(echoSocket, buf, static_cast<size_t>(n), 0,
                         reinterpret_cast<sockaddr *>(&from), fromLen);
        }
    });
    uint8_t buf[kDatagram] = {};
    for (auto _ : state) {
        if (sendto(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&echoAddress),
                   sizeof echoAddress) < 0 ||
            recv(udp, buf, sizeof buf, 0) < 0) {
            state.SkipWithError("UDP echo failed");
            break;
        }
    }
    close(udp);
    close(echoSocket);
}
BENCHMARK(BM_UdpEcho_Floor);

// ---- Tightness of the delay bound --------------------------------------------------

// Pings as NORVping sends them (start stamp read just before the send). The
// answer's error bound covers its delay from NORVpong's receipt of the ping to
// ours; the round trip is our receipt less the start stamp. Reports the
// medians of this run: error bound, half round trip, and their ratio.
void BM_Tightness(benchmark::State &state) {
    TimedClient client;
    if (!client.ok) {
        state.SkipWithError("no timed socket");
        return;
    }
    uint64_t receipt = 0, estimate = 0, error = 0;
    // The first answers carry no echo of ours yet (no bound): not counted.
    for (int i = 0; i < 3; ++i) client.echo(getNORVTimestamp(requestFd), &receipt, &estimate, &error);
    std::vector<double> errors, halfTrips;
    for (auto _ : state) {
        uint64_t start = getNORVTimestamp(requestFd);
        if (!client.echo(start, &receipt, &estimate, &error)) {
            state.SkipWithError("timed echo failed");
            break;
        }
        if (error >= UNKNOWN_DELAY_ERROR) continue;
        errors.push_back(static_cast<double>(error));
        halfTrips.push_back(static_cast<double>(receipt - start) / 2);
    }
    double e = median(errors), h = median(halfTrips);
    state.counters["error_ns"] = e;
    state.counters["half_rtt_ns"] = h;
    state.counters["error_per_half_rtt"] = h > 0 ? e / h : 0;
    state.counters["unbounded"] = static_cast<double>(state.iterations()) - static_cast<double>(errors.size());
}
BENCHMARK(BM_Tightness);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    int rc = openNORVConnection(&requestFd, &noticeFd);
    if (rc != 0) {
        fprintf(stderr, "bench_service: no connection to the NORV service (%d)\n", rc);
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    closeNORVConnection(requestFd, noticeFd);
    return 0;
}
