// fuzz_support.h: what the fuzz targets share: a check that aborts with a
// message (so libFuzzer records the input), canary-guarded records, and the
// scripted peer (tests/support) that stands in for the service's request FIFO
// and for a UDP socket.
#ifndef NORV_FUZZ_SUPPORT_H
#define NORV_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/scripted_peer.h"

namespace norv::fuzz {

#define FUZZ_CHECK(cond)                                                               \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kCanary = 0xA5;

// Takes the fuzz input apart field by field; past its end every byte reads 0.
struct Reader {
    const uint8_t *data;
    size_t size, at = 0;
    bool more() const { return at < size; }
    uint8_t u8() { return at < size ? data[at++] : 0; }
    uint32_t le(size_t n) {
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= static_cast<uint32_t>(u8()) << (8 * i);
        return v;
    }
};

// A record with canary bytes on both sides. AddressSanitizer sees writes past
// heap blocks; these catch writes past a field into its neighbours as well.
template <typename T>
struct Guarded {
    uint8_t before[32];
    T value;
    uint8_t after[32];
    Guarded() {
        std::memset(before, kCanary, sizeof before);
        std::memset(after, kCanary, sizeof after);
    }
    bool intact() const {
        for (uint8_t b : before)
            if (b != kCanary) return false;
        for (uint8_t b : after)
            if (b != kCanary) return false;
        return true;
    }
};

using norv::test::ScriptedPeer;

// Makes `service` the service's side of a request FIFO: the replies queued up
// front, then end of file, so a reply the input did not provide reads as a
// failed channel instead of blocking.
inline void play_back_then_hang_up(const ScriptedPeer &service, const Bytes &replies) {
    FUZZ_CHECK(service.ok() && service.reply(replies));
    service.hang_up();
}

}  // namespace norv::fuzz

#endif  // NORV_FUZZ_SUPPORT_H
