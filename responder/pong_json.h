// pong_json.h: NORVpong's record of an answered ping as one line of JSON
// (--json), for programs that check what it saw.
#ifndef NORVPONG_PONG_JSON_H
#define NORVPONG_PONG_JSON_H

#include <string>

#include "pong.h"

namespace norvpong {

// One JSON object, no newline, with exactly these keys in this order:
// "from" ("ADDR:PORT"), "sender", "registration", "start_stamp",
// "receipt_stamp", "estimate_ns", "error_ns" (null when no bound is known) and
// "answer". Every number is written in full as a JSON integer.
std::string ping_json(const PingRecord &r);

}  // namespace norvpong

#endif  // NORVPONG_PONG_JSON_H
