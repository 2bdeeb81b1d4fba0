// bench_service.cc: the figures that need the timing service (norvd) and the
// responder (NORVpong) running on this machine. scripts/bench starts both in
// private namespaces and runs this program there.
//
//   exchange     getNORVTimestamp against norvd          vs a pipe ping-pong between two processes
//   timed echo   NORVsendto to NORVpong, NORVrecvfrom    vs a raw UDP echo on loopback
//                of its answer
//   tightness    median error bound of the answers       vs half the median round trip
//
// The far end of each floor is a child process pinned where norvd and NORVpong
// are pinned (NORV_BENCH_SERVER_CPU); this process is pinned by its caller.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "bench_util.h"
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

int requestFd = -1;
int noticeFd = -1;

sockaddr_in pong_address() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(NORV_PING_PORT);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// ---- Control-channel exchange ------------------------------------------------------

void BM_Exchange_getNORVTimestamp(benchmark::State &state) {
    for (auto _ : state) {
        uint64_t now = getNORVTimestamp(requestFd);
        if (now >> 63) {
            state.SkipWithError("getNORVTimestamp failed");
            break;
        }
        benchmark::DoNotOptimize(now);
    }
}
BENCHMARK(BM_Exchange_getNORVTimestamp);

// The floor: 8 bytes out on one pipe, 8 bytes back on another, as a request
// of command 2 and its reply.
void BM_Exchange_PipeFloor(benchmark::State &state) {
    int out[2], back[2];
    if (pipe(out) < 0 || pipe(back) < 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    Child echo([&] {
        uint8_t buf[64];
        for (;;) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) _exit(0);
            uint8_t reply[8] = {};
            if (write(back[1], reply, sizeof reply) < 0) _exit(0);
        }
    });
    uint8_t request[8] = {2, 0, 0, 0, 0, 0, 0, 0};
    uint8_t reply[8];
    for (auto _ : state) {
        if (write(out[1], request, sizeof request) < 0 || read(back[0], reply, sizeof reply) < 0) {
            state.SkipWithError("pipe exchange failed");
            break;
        }
    }
    for (int fd : {out[0], out[1], back[0], back[1]}) close(fd);
}
BENCHMARK(BM_Exchange_PipeFloor);

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
