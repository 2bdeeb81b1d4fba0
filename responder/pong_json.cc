// pong_json.cc: a ping's record as JSON.
#include "pong_json.h"

#include <arpa/inet.h>

#include <cinttypes>
#include <cstdio>

namespace norvpong {

std::string ping_json(const PingRecord &r) {
    char addr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &r.from.sin_addr, addr, sizeof addr);
    char error[32] = "null";
    if (r.error < UNKNOWN_DELAY_ERROR) snprintf(error, sizeof error, "%" PRIu64, r.error);
    char line[320];
    snprintf(line, sizeof line,
             "{\"from\": \"%s:%u\", \"sender\": %u, \"registration\": %" PRId32
             ", \"start_stamp\": %" PRIu64 ", \"receipt_stamp\": %" PRIu64
             ", \"estimate_ns\": %" PRIu64 ", \"error_ns\": %s, \"answer\": %" PRIu32 "}",
             addr, ntohs(r.from.sin_port), r.sender, r.registration, r.startStamp, r.receiptStamp,
             r.estimate, error, r.answer);
    return line;
}

}  // namespace norvpong
