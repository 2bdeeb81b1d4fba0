// format.cc: answer and notice blocks of NORVping, byte for byte.
#include "format.h"

#include <cinttypes>
#include <cstdio>

namespace norv::client {

namespace {

// Appends one printf-formatted line; every line here is far below the limit.
template <typename... Args>
void append(std::string &out, const char *format, Args... args) {
    char line[128];
    int n = std::snprintf(line, sizeof line, format, args...);
    if (n > 0) out.append(line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
}

constexpr const char *kAsterisks = "********************************************\n";

}  // namespace

std::string format_answer(const char *sender, const wire::PingPayload &payload) {
    std::string out;
    out += "Packet From ";
    out += sender;  // an address of any length stays whole
    out += ":\n";
    out += "------------------------------------\n";
    append(out, "Send   : time <%llu> us error <%llu> us SEQ:%u\n",
           static_cast<unsigned long long>(payload.sendTime / 1000),
           static_cast<unsigned long long>(payload.sendError / 1000),
           static_cast<unsigned>(payload.seq));
    out += "\n";
    return out;
}

int32_t signed_lateness(uint8_t status, int32_t lateness) {
    // Negation in unsigned 32-bit arithmetic: wraps instead of overflowing,
    // which is the two's-complement product by -1.
    uint32_t value = static_cast<uint32_t>(lateness);
    if (status != 1) value = 0u - value;
    return static_cast<int32_t>(value);
}

std::string format_notice(const FailureNotice &notice) {
    std::string out;
    out += kAsterisks;
    append(out, "Message from: %u, Seq: %u\n", static_cast<unsigned>(notice.sender),
           static_cast<unsigned>(notice.seq));
    out += kAsterisks;
    for (unsigned i = 0; i < MAX_MACHINES; ++i) {
        const MachineVerdict &v = notice.verdicts[i];
        if (v.status != 2) {
            if (v.status == 1)
                append(out, "Timing failure on the reception (machine %u)\n", i);
            else
                append(out, "Timely reception on machine %u\n", i);
            if (v.latenessKnown == 1)
                append(out, "lateness degree=%d\n", static_cast<int>(signed_lateness(v.status, v.lateness)));
            else
                out += "Lateness degree not available\n";
        }
        out += "\n";
    }
    return out;
}

}  // namespace norv::client
