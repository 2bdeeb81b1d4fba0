// pong.cc: answering pings.
#include "pong.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "wire.h"

namespace norvpong {

using namespace norv::wire;

std::string ping_line(const sockaddr_in &from, uint64_t estimate, uint64_t error, uint32_t seq) {
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
    char err[32];
    if (error >= UNKNOWN_DELAY_ERROR)
        snprintf(err, sizeof err, "unknown");
    else
        snprintf(err, sizeof err, "%" PRIu64 " us", error / 1000);
    char line[160];
    snprintf(line, sizeof line, "Ping from %s:%u: estimate %" PRIu64 " us error %s, answer %u",
             addr, ntohs(from.sin_port), estimate / 1000, err, seq);
    return line;
}

Intake answer_waiting(TimedSocket &socket, uint32_t &answered,
                      const std::function<void(const PingRecord &)> &log) {
    Intake in;
    for (;;) {
        // Room for the header and a ping payload; a longer datagram is cut,
        // only the ping's timing matters here.
        uint8_t buf[TIMED_HEADER_SIZE + ping::kSize] = {};
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        uint64_t receipt = 0, estimate = 0, error = 0;
        int n = NORVrecvfrom(buf, ping::kSize, 0, reinterpret_cast<sockaddr *>(&from), &fromLen,
                             &socket, &receipt, &estimate, &error, 0);
        if (n < 0) {
            in.receiveFailed = true;
            return in;
        }
        if (n == 0) return in;  // nothing (more) waits
        // The service's clock stays below 2^63; all bits set is a failed read.
        // An answer would carry it as its start stamp.
        if (receipt >> 63) {
            in.clockFailed = true;
            return in;
        }
        // The ping's header fields, before the answer's header goes over them.
        PingRecord record{from,
                          get_u8(buf, header::kSenderId),
                          get_i32le(buf, header::kRegistrationId),
                          get_u64le(buf, header::kSendStamp) - get_u64le(buf, header::kElapsed),
                          receipt,
                          estimate,
                          error,
                          ++answered};
        PingPayload answer{error, estimate, answered};
        encode_ping_payload(answer, buf + TIMED_HEADER_SIZE);
        if (NORVsendto(buf, ping::kSize, 0, reinterpret_cast<sockaddr *>(&from), fromLen, &socket,
                       receipt) < 0)
            perror("NORVpong: NORVsendto failed");
        log(record);
        ++in.answered;
    }
}

std::chrono::milliseconds reconnect_delay(unsigned attempt) {
    constexpr std::chrono::milliseconds first{100}, longest{5000};
    // 100 ms << 6 is past the longest already; stopping the doubling there
    // keeps the shift from overflowing for any attempt number.
    unsigned doublings = attempt > 1 ? attempt - 1 : 0;
    if (doublings >= 6) return longest;
    return std::min(first * (1 << doublings), longest);
}

}  // namespace norvpong
