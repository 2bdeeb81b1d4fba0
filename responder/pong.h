// pong.h: NORVpong's answering logic, apart from its start-up and its loop.
#ifndef NORVPONG_PONG_H
#define NORVPONG_PONG_H

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "norv.h"

namespace norvpong {

// The log line of one answered ping: its sender, the estimated time from the
// ping's start stamp to its receipt and the error bound, both in microseconds
// ("unknown" for an error bound of a delay that is not known), and the
// sequence number of the answer.
std::string ping_line(const sockaddr_in &from, uint64_t estimate, uint64_t error, uint32_t seq);

// What is known of one answered ping.
struct PingRecord {
    sockaddr_in from;
    uint8_t sender;         // the header's senderId
    int32_t registration;   // the header's registrationId, 0 for a plain send
    uint64_t startStamp;    // the ping's start stamp, on the sender's clock
    uint64_t receiptStamp;  // this machine's clock at receipt
    uint64_t estimate;      // time from the start stamp to the receipt
    uint64_t error;         // its error bound; UNKNOWN_DELAY_ERROR or more: none
    uint32_t answer;        // seq of the answer sent
};

// What one call of answer_waiting did.
struct Intake {
    int answered = 0;            // pings answered
    bool receiveFailed = false;  // NORVrecvfrom failed (errno as it left it)
    bool clockFailed = false;    // a ping came in without a clock reading: the channel is gone
};

// Takes in every ping waiting on the socket and answers each with a plain
// timed send to its sender: the payload carries the ping's estimate as
// sendTime, its error bound as sendError and the count of pings answered so
// far (this one included) as seq; the answer's start stamp is the ping's
// receipt stamp, so its receiver learns the time from that receipt. Calls
// `log` with the record of each answered ping. Stops at a failed receive, and
// at a ping whose receipt stamp is not a clock reading, which it leaves
// unanswered. A registered ping that arrives on a failed channel is refused
// inside the receive and never shows here: nothing answered is all it leaves.
Intake answer_waiting(TimedSocket &socket, uint32_t &answered,
                      const std::function<void(const PingRecord &)> &log);

// How long NORVpong waits before its reconnection attempt number `attempt`
// (1 for the first after the service went away): 100 ms, doubled for each
// attempt after the first, at most 5 s.
std::chrono::milliseconds reconnect_delay(unsigned attempt);

// A channel that has not shown to work (an answered ping, a clock read) for
// this long is checked with a clock read: a service that went away without a
// hang-up on its device shows then.
constexpr std::chrono::milliseconds kIdleCheck{1000};

}  // namespace norvpong

#endif  // NORVPONG_PONG_H
