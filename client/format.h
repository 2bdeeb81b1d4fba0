// format.h: the text that NORVping prints for an answer and for a failure
// notice. Pure functions, so the exact bytes can be tested without a service.
#ifndef NORV_CLIENT_FORMAT_H
#define NORV_CLIENT_FORMAT_H

#include <cstdint>
#include <string>

#include "norv.h"
#include "wire.h"

namespace norv::client {

// The block printed for one answer: its sender in dotted-quad form, a rule,
// the answer's time and error in microseconds (truncated) and its sequence
// number, and a blank line.
std::string format_answer(const char *sender, const wire::PingPayload &payload);

// The lateness degree printed for one machine: unchanged for a timing failure
// (status 1), negated for a timely reception, as a 32-bit two's-complement
// product (so INT32_MIN stays INT32_MIN).
int32_t signed_lateness(uint8_t status, int32_t lateness);

// The block printed for one failure notice: three header lines, then for each
// machine nothing (status 2) or its verdict and lateness lines, and a blank
// line per machine.
std::string format_notice(const FailureNotice &notice);

}  // namespace norv::client

#endif  // NORV_CLIENT_FORMAT_H
