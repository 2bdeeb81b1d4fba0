// print_format.cc: NORVping's answer and notice blocks for any payload and any
// notice record. The text must keep its line structure whatever the bytes
// hold, and every number printed must read back as the field it came from.
#include <fuzzer/FuzzedDataProvider.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cinttypes>
#include <string>
#include <vector>

#include "format.h"
#include "fuzz_support.h"
#include "wire.h"

using namespace norv::fuzz;
namespace wire = norv::wire;

namespace {

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        FUZZ_CHECK(nl != std::string::npos);  // every line ends with a newline
        lines.push_back(text.substr(at, nl - at));
        at = nl + 1;
    }
    return lines;
}

const std::string kAsterisks(44, '*');

void check_answer(const char *sender, const wire::PingPayload &p) {
    std::vector<std::string> l = lines_of(norv::client::format_answer(sender, p));
    FUZZ_CHECK(l.size() == 4);
    FUZZ_CHECK(l[0] == std::string("Packet From ") + sender + ":");
    FUZZ_CHECK(l[1] == std::string(36, '-'));
    unsigned long long time = 0, error = 0;
    unsigned seq = 0;
    int used = 0;
    FUZZ_CHECK(std::sscanf(l[2].c_str(), "Send   : time <%llu> us error <%llu> us SEQ:%u%n", &time,
                           &error, &seq, &used) == 3);
    FUZZ_CHECK(static_cast<size_t>(used) == l[2].size());
    FUZZ_CHECK(time == p.sendTime / 1000 && error == p.sendError / 1000 && seq == p.seq);
    FUZZ_CHECK(l[3].empty());
}

void check_notice(const FailureNotice &n) {
    std::vector<std::string> l = lines_of(norv::client::format_notice(n));
    size_t want = 3;
    for (const MachineVerdict &v : n.verdicts) want += v.status == 2 ? 1 : 3;
    FUZZ_CHECK(l.size() == want);
    FUZZ_CHECK(l[0] == kAsterisks && l[2] == kAsterisks);
    FUZZ_CHECK(l[1] == "Message from: " + std::to_string(n.sender) + ", Seq: " +
                           std::to_string(n.seq));
    size_t at = 3;
    for (unsigned i = 0; i < MAX_MACHINES; ++i) {
        const MachineVerdict &v = n.verdicts[i];
        if (v.status != 2) {
            if (v.status == 1)
                FUZZ_CHECK(l[at] == "Timing failure on the reception (machine " +
                                        std::to_string(i) + ")");
            else
                FUZZ_CHECK(l[at] == "Timely reception on machine " + std::to_string(i));
            ++at;
            if (v.latenessKnown == 1) {
                // A failure's lateness unchanged, a timely one's negated in
                // 32-bit two's complement.
                int64_t wide = v.status == 1 ? int64_t{v.lateness} : -int64_t{v.lateness};
                int32_t shown = static_cast<int32_t>(static_cast<uint32_t>(wide));
                FUZZ_CHECK(l[at] == "lateness degree=" + std::to_string(shown));
            } else {
                FUZZ_CHECK(l[at] == "Lateness degree not available");
            }
            ++at;
        }
        FUZZ_CHECK(l[at].empty());  // every machine's part ends with a blank line
        ++at;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);

    // An answer as the ping loop has it: the sender from inet_ntoa and the
    // 20 payload bytes decoded from the buffer.
    struct in_addr addr;
    addr.s_addr = in.ConsumeIntegral<uint32_t>();
    std::string sender = inet_ntoa(addr);
    Bytes payload = in.ConsumeBytes<uint8_t>(wire::ping::kSize);
    payload.resize(wire::ping::kSize, 0);
    check_answer(sender.c_str(), wire::decode_ping_payload(payload.data()));

    // Notices as the monitor has them: 48 bytes decoded.
    while (in.remaining_bytes() > 0) {
        Bytes record = in.ConsumeBytes<uint8_t>(wire::notice::kSize);
        record.resize(wire::notice::kSize, 0);
        FailureNotice n = wire::decode_failure_notice(record.data());
        check_notice(n);
        // Encoding the record again gives its bytes back, reserved ones as zeros.
        uint8_t again[wire::notice::kSize];
        wire::encode_failure_notice(n, again);
        for (size_t i = 0; i < wire::notice::kSize; ++i) {
            bool reserved = i == 0 || i == 2 || i == 3 ||
                            (i >= wire::notice::kVerdicts &&
                             ((i - wire::notice::kVerdicts) % wire::notice::kVerdictSize == 2 ||
                              (i - wire::notice::kVerdicts) % wire::notice::kVerdictSize == 3));
            FUZZ_CHECK(again[i] == (reserved ? 0 : record[i]));
        }
    }
    return 0;
}
