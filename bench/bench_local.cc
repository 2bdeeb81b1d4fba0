// bench_local.cc: the figures that need no timing service.
//
//   idle poll       NORVrecvfrom(blocking 0) on an idle socket    vs select(0 timeout)
//   library cost    a timed send and an accepted receive with the
//                   service replaced by a scripted peer           vs raw sendto / recvfrom
//   header code     putReceiveInfo, header encode and decode      (ns per call)
//   peer messages   norvd sealing and judging a receipt of        vs the same in version 1
//                   version 2 (code, window)
//   verdict stats   norvd counting a notice's verdicts for norvctl and the metrics (ns per notice)
//
// The scripted peer (the tests' own, tests/support) is the far end of a
// socketpair() on which the clock replies are queued before the timed stretch
// starts, so it answers at once and costs nothing while the library runs.
// Datagrams and replies are queued, and the library's requests read away, in
// batches with the timer paused; the floors go through the same batches.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "bench_util.h"
#include "core/verdict_stats.h"
#include "io/peer_messages.h"
#include "norv.h"
#include "support/scripted_peer.h"
#include "timed_socket_io.h"
#include "wire.h"

using namespace norv::bench;
using namespace norv::wire;
using norv::test::ScriptedPeer;

namespace {

// Datagrams and replies queued per batch: well inside a loopback socket's
// default receive buffer.
constexpr int kBatch = 64;
constexpr int kPayload = ping::kSize;                  // a ping: 20 bytes
constexpr size_t kDatagram = header::kSize + kPayload;  // 204 bytes on the wire

// Everything readable on fd, thrown away.
void discard_readable(int fd) {
    uint8_t sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

// Where the scripted service's clock starts.
constexpr uint64_t kClockStart = 1'000'000'000'000;

// Drops the requests written to the scripted service so far and queues n
// clock replies, each reading a microsecond later than the one before.
void queue_clock_replies(const ScriptedPeer &service, int n, uint64_t &clock) {
    (void)service.written();
    norv::test::Bytes replies;
    for (int i = 0; i < n; ++i) norv::test::append_le(replies, clock += 1000, 8);
    service.reply(replies);
}

// A table with a reference from machine 1, so that a header carries one echo.
void fill_table(TimedSocket &ts, uint8_t localId) {
    init_session(&ts, localId);
    uint8_t other = localId == 0 ? 1 : 0;
    ts.peers[other] = PeerTiming{999'999'000'000, 999'999'100'000, 15'000, 40'000};
}

// ---- Idle poll ------------------------------------------------------------------

void BM_IdlePoll_NORVrecvfrom(benchmark::State &state) {
    TimedSocket ts{};
    init_session(&ts, 0);
    ts.udpSocket = loopback_udp(nullptr);
    ts.requestFd = -1;  // never used: nothing arrives
    uint8_t buf[kDatagram];
    sockaddr_in from{};
    uint64_t receipt = 0, estimate = 0, error = 0;
    for (auto _ : state) {
        socklen_t fromLen = sizeof from;
        int n = NORVrecvfrom(buf, kPayload, 0, reinterpret_cast<sockaddr *>(&from), &fromLen, &ts,
                             &receipt, &estimate, &error, 0);
        benchmark::DoNotOptimize(n);
    }
    state.counters["passes_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    close(ts.udpSocket);
}
BENCHMARK(BM_IdlePoll_NORVrecvfrom);

void BM_IdlePoll_select(benchmark::State &state) {
    int udp = loopback_udp(nullptr);
    for (auto _ : state) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(udp, &readable);
        timeval zero = {0, 0};
        int n = select(udp + 1, &readable, nullptr, nullptr, &zero);
        benchmark::DoNotOptimize(n);
    }
    close(udp);
}
BENCHMARK(BM_IdlePoll_select);

// ---- Library cost on a scripted peer ----------------------------------------------

void BM_ClockExchange_ScriptedPeer(benchmark::State &state) {
    ScriptedPeer service;
    uint64_t clock = kClockStart;
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            state.PauseTiming();
            queue_clock_replies(service, kBatch, clock);
            left = kBatch;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(gettime(service.fd()));
        --left;
    }
}
BENCHMARK(BM_ClockExchange_ScriptedPeer);

void BM_TimedSend_ScriptedPeer(benchmark::State &state) {
    ScriptedPeer service;
    uint64_t clock = kClockStart;
    TimedSocket ts{};
    fill_table(ts, 0);
    ts.requestFd = service.fd();
    ts.udpSocket = loopback_udp(nullptr);
    sockaddr_in to{};
    int sink = loopback_udp(&to);
    uint8_t buf[kDatagram] = {};
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            state.PauseTiming();
            discard_readable(sink);
            queue_clock_replies(service, kBatch, clock);
            left = kBatch;
            state.ResumeTiming();
        }
        int n = NORVsendto(buf, kPayload, 0, reinterpret_cast<sockaddr *>(&to), sizeof to, &ts,
                           999'999'900'000);
        benchmark::DoNotOptimize(n);
        --left;
    }
    close(ts.udpSocket);
    close(sink);
}
BENCHMARK(BM_TimedSend_ScriptedPeer);

void BM_RawSendto(benchmark::State &state) {
    int udp = loopback_udp(nullptr);
    sockaddr_in to{};
    int sink = loopback_udp(&to);
    uint8_t buf[kDatagram] = {};
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            state.PauseTiming();
            discard_readable(sink);
            left = kBatch;
            state.ResumeTiming();
        }
        ssize_t n = sendto(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        benchmark::DoNotOptimize(n);
        --left;
    }
    close(udp);
    close(sink);
}
BENCHMARK(BM_RawSendto);

// Queues n datagrams of kDatagram bytes on `to`: timed headers from machine 1
// echoing machine 0, or (timed false) zero bytes.
void queue_datagrams(int from, const sockaddr_in &to, int n, bool timed, uint64_t &clock) {
    TimedSocket sender{};
    fill_table(sender, 1);
    sender.peers[0] = PeerTiming{clock - 60'000, clock - 90'000, 12'000, 30'000};
    uint8_t buf[kDatagram] = {};
    for (int i = 0; i < n; ++i) {
        if (timed) norv::write_timed_header(sender, buf, 0, clock - 5'000, 0, clock);
        (void)sendto(from, buf, sizeof buf, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }
}

void BM_AcceptedReceive_ScriptedPeer(benchmark::State &state) {
    ScriptedPeer service;
    uint64_t clock = kClockStart;
    TimedSocket ts{};
    fill_table(ts, 0);
    ts.requestFd = service.fd();
    sockaddr_in to{};
    ts.udpSocket = loopback_udp(&to);
    int sender = loopback_udp(nullptr);
    uint8_t buf[kDatagram];
    sockaddr_in from{};
    uint64_t receipt = 0, estimate = 0, error = 0;
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            state.PauseTiming();
            queue_datagrams(sender, to, kBatch, true, clock);
            queue_clock_replies(service, kBatch, clock);
            left = kBatch;
            state.ResumeTiming();
        }
        socklen_t fromLen = sizeof from;
        int n = NORVrecvfrom(buf, kPayload, 0, reinterpret_cast<sockaddr *>(&from), &fromLen, &ts,
                             &receipt, &estimate, &error, 1);
        benchmark::DoNotOptimize(n);
        --left;
    }
    close(ts.udpSocket);
    close(sender);
}
BENCHMARK(BM_AcceptedReceive_ScriptedPeer);

void BM_RawRecvfrom(benchmark::State &state) {
    sockaddr_in to{};
    int udp = loopback_udp(&to);
    int sender = loopback_udp(nullptr);
    uint64_t clock = 0;
    uint8_t buf[kDatagram];
    sockaddr_in from{};
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            state.PauseTiming();
            queue_datagrams(sender, to, kBatch, false, clock);
            left = kBatch;
            state.ResumeTiming();
        }
        socklen_t fromLen = sizeof from;
        ssize_t n = recvfrom(udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
        benchmark::DoNotOptimize(n);
        --left;
    }
    close(udp);
    close(sender);
}
BENCHMARK(BM_RawRecvfrom);

// ---- Estimation and header code ---------------------------------------------------

void BM_PutReceiveInfo(benchmark::State &state) {
    TimedSocket ts{};
    fill_table(ts, 0);
    uint64_t now = 1'000'000'000'000;
    uint64_t estimate = 0, error = 0;
    for (auto _ : state) {
        now += 1'000;
        // Path B (an echo of ours), against a reference from the same machine.
        putReceiveInfo(&ts, now, 20'000, now - 30'000, now - 80'000, 1, 25'000, 10'000, 5'000,
                       &estimate, &error);
        benchmark::DoNotOptimize(estimate);
        benchmark::DoNotOptimize(error);
    }
}
BENCHMARK(BM_PutReceiveInfo);

TimedHeader sample_header() {
    TimedHeader h{};
    h.senderId = 1;
    h.sendStamp = 1'000'000'000'000;
    h.elapsed = 5'000;
    for (size_t i = 0; i < MAX_MACHINES; ++i)
        h.echoes[i] = PeerEcho{20'000 + i, 999'999'000'000 + i, 25'000 + i, 10'000 + i};
    h.registrationId = 77;
    return h;
}

void BM_EncodeTimedHeader(benchmark::State &state) {
    TimedHeader h = sample_header();
    uint8_t buf[header::kSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(&h);  // the record may have changed
        encode_timed_header(h, buf);
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_EncodeTimedHeader);

void BM_DecodeTimedHeader(benchmark::State &state) {
    uint8_t buf[header::kSize] = {};
    encode_timed_header(sample_header(), buf);
    TimedHeader h;
    for (auto _ : state) {
        benchmark::DoNotOptimize(buf);  // the bytes may have changed
        bool ok = decode_timed_header(buf, sizeof buf, &h);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(h);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DecodeTimedHeader);

// The whole send-side header step: echoes built from the table, then encoded.
void BM_WriteTimedHeader(benchmark::State &state) {
    TimedSocket ts{};
    fill_table(ts, 0);
    uint8_t buf[header::kSize];
    uint64_t now = 1'000'000'000'000;
    for (auto _ : state) {
        norv::write_timed_header(ts, buf, 0, now - 5'000, 0, now);
        now += 1'000;
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_WriteTimedHeader);

// The floor of both: moving the header's 184 bytes once.
void BM_Memcpy184(benchmark::State &state) {
    uint8_t src[header::kSize] = {1};
    uint8_t dst[header::kSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(src);
        std::memcpy(dst, src, sizeof dst);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Memcpy184);

// ---- norvd's peer messages ---------------------------------------------------

constexpr uint64_t kStarted = 1'700'000'000'000'000'000;
constexpr int kPeerBatch = 4096;

std::optional<norvd::GroupKey> bench_key(bool keyed) {
    if (!keyed) return std::nullopt;
    norvd::GroupKey k;
    k.fill(0x5A);
    return k;
}

// One receipt sealed by machine 1 for machine 0, as its norvd sends it.
void BM_PeerSeal(benchmark::State &state) {
    bool keyed = state.range(0) != 0;
    if (keyed && !norvd::authentication_available()) return state.SkipWithError("no libsodium");
    norvd::PeerMessages sender(1, bench_key(keyed), norvd::CommonTime(kStarted));
    uint8_t buf[norvd::kMaxPeerMessage];
    int32_t id = 1;
    for (auto _ : state) {
        size_t len = sender.seal(0, norvd::peer::Receipt{1, id++, kStarted + 5}, buf);
        benchmark::DoNotOptimize(len);
        benchmark::DoNotOptimize(buf);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PeerSeal)->Arg(0)->Arg(1);

// Machine 0 judging machine 1's receipts, each new (sealed beforehand, in
// batches, with the timer paused).
void BM_PeerOpen(benchmark::State &state) {
    bool keyed = state.range(0) != 0;
    if (keyed && !norvd::authentication_available()) return state.SkipWithError("no libsodium");
    norvd::PeerMessages sender(1, bench_key(keyed), norvd::CommonTime(kStarted)),
        here(0, bench_key(keyed), norvd::CommonTime(kStarted));
    std::vector<uint8_t> batch(kPeerBatch * norvd::kMaxPeerMessage);
    size_t len = 0;
    int next = kPeerBatch;
    int32_t id = 1;
    bool ok = true;
    for (auto _ : state) {
        if (next == kPeerBatch) {
            state.PauseTiming();
            for (int i = 0; i < kPeerBatch; ++i)
                len = sender.seal(0, norvd::peer::Receipt{1, id++, kStarted + 5},
                                  batch.data() + i * norvd::kMaxPeerMessage);
            next = 0;
            state.ResumeTiming();
        }
        auto o = here.open(1, batch.data() + next++ * norvd::kMaxPeerMessage, len, norvd::CommonTime(kStarted));
        ok = ok && o.receipt.has_value();
        benchmark::DoNotOptimize(o);
    }
    if (!ok) state.SkipWithError("a genuine receipt was dropped");
}
BENCHMARK(BM_PeerOpen)->Arg(0)->Arg(1);

// ---- norvd's verdict statistics ---------------------------------------------------

// One notice of a group of three counted: machine 0 timely, 1 and 2 late by
// latenesses that wander over every bucket; a new 10 s step now and then.
void BM_VerdictStatsCount(benchmark::State &state) {
    norvd::VerdictStats stats(0x07, norvd::BaseTime());
    FailureNotice n{};
    n.verdicts[0] = {0, 1, {0, 0}, -1500};
    for (int m = 3; m < MAX_MACHINES; ++m) n.verdicts[m].status = 2;
    norvd::BaseTime now;
    uint32_t x = 1;
    for (auto _ : state) {
        x = x * 1664525u + 1013904223u;
        n.verdicts[1] = {1, 1, {0, 0}, static_cast<int32_t>(x >> 12)};
        n.verdicts[2] = {1, 1, {0, 0}, static_cast<int32_t>(x >> 20)};
        stats.count(n, now += 100'000);
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(stats.machine(1, now).sinceStart.late);
}
BENCHMARK(BM_VerdictStatsCount);

}  // namespace

BENCHMARK_MAIN();
