// pong.h: NORVpong's answering logic, apart from its start-up and its loop.
#ifndef NORVPONG_PONG_H
#define NORVPONG_PONG_H

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>

#include "norv.h"

namespace norvpong {

// UDP port on which pings arrive.
constexpr uint16_t kPingPort = 16006;

// The log line of one answered ping: its sender, the estimated time from the
// ping's start stamp to its receipt and the error bound, both in microseconds
// ("unknown" for an error bound of a delay that is not known), and the
// sequence number of the answer.
std::string ping_line(const sockaddr_in &from, uint64_t estimate, uint64_t error, uint32_t seq);

// Takes in every ping waiting on the socket and answers each with a plain
// timed send to its sender: the payload carries the ping's estimate as
// sendTime, its error bound as sendError and the count of pings answered so
// far (this one included) as seq; the answer's start stamp is the ping's
// receipt stamp, so its receiver learns the time from that receipt. Calls
// `log` with the line of each answered ping. Returns the number of pings
// answered, or -1 when the receive fails (errno as it left it).
int answer_waiting(TimedSocket &socket, uint32_t &answered,
                   const std::function<void(const std::string &)> &log);

}  // namespace norvpong

#endif  // NORVPONG_PONG_H
