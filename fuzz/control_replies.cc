// control_replies.cc: every operation of the control channel, the timeliness
// requests and the timed socket's own requests against a service whose
// replies come from the input: whole, short, cut off by end of file, or
// meaning anything. A sequence of operations shares one reply stream, so a
// reply read too long or too short would shift every later one.
//
// Each operation must write exactly its request (built here byte by byte,
// independently of the library's layouts), read exactly its reply size, and
// return what the reply says or -1 (all bits set for 64-bit results) once the
// stream has run dry; out-parameters are written only on success.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "fuzz_support.h"
#include "norv.h"

using namespace norv::fuzz;

namespace {

using norv::test::append_le;
using norv::test::head;

uint64_t get_le(const uint8_t *p, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}
// A name field: the name's bytes up to its terminator, zeros to the width.
void name_field(Bytes &b, const char *name, size_t width) {
    size_t n = 0;
    while (n < width && name[n] != '\0') ++n;
    b.insert(b.end(), name, name + n);
    b.insert(b.end(), width - n, 0);
}

// The service's replies as one stream, and where the library stands in it.
struct Replies {
    Bytes bytes;
    size_t at = 0;
    // The next reply of n bytes, or nullptr when the stream ends first (the
    // library then has read the rest and hit end of file).
    const uint8_t *take(size_t n) {
        if (bytes.size() - at < n) {
            at = bytes.size();
            return nullptr;
        }
        const uint8_t *p = bytes.data() + at;
        at += n;
        return p;
    }
};

ActivityNames consume_names(FuzzedDataProvider &in) {
    ActivityNames names;
    Bytes raw = in.ConsumeBytes<uint8_t>(sizeof names);
    raw.resize(sizeof names, 0);
    std::memcpy(&names, raw.data(), sizeof names);
    return names;
}

void names_fields(Bytes &b, const ActivityNames &names) {
    name_field(b, names.moduleName, 50);
    name_field(b, names.activityName, 50);
    name_field(b, names.wcetName, 50);
}

Bytes received_datagram(int fd) {
    Bytes b(65536);
    ssize_t n = recv(fd, b.data(), b.size(), MSG_DONTWAIT);
    b.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return b;
}

bool datagram_waits(int fd) {
    uint8_t byte;
    return recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) >= 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    Replies replies;
    replies.bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 512));
    ScriptedPeer service;
    play_back_then_hang_up(service, replies.bytes);
    const int fd = service.fd();

    for (int op = 0; op < 16 && in.remaining_bytes() > 0; ++op) {
        Bytes want;  // the request the operation must write
        switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0: {
            bool viaGettime = in.ConsumeBool();
            uint64_t r = viaGettime ? gettime(fd) : getNORVTimestamp(fd);
            want = head(2, 0);
            const uint8_t *p = replies.take(8);
            FUZZ_CHECK(r == (p ? get_le(p, 8) : UINT64_MAX));
            break;
        }
        case 1: {
            int r = getNORVid(fd);
            want = head(3, 0);
            const uint8_t *p = replies.take(4);
            FUZZ_CHECK(r == (p ? static_cast<int32_t>(get_le(p, 4)) : -1));
            break;
        }
        case 2: {
            uint8_t sender = in.ConsumeIntegral<uint8_t>();
            int32_t id = in.ConsumeIntegral<int32_t>();
            uint64_t time = in.ConsumeIntegral<uint64_t>();
            int r = notify_norv_of_receipt(fd, sender, id, time);
            want = head(10, 16);
            append_le(want, static_cast<uint32_t>(id), 4);
            append_le(want, time, 8);
            append_le(want, sender, 1);
            append_le(want, 0, 3);
            const uint8_t *p = replies.take(4);
            FUZZ_CHECK(r == (p ? static_cast<int32_t>(get_le(p, 4)) : -1));
            break;
        }
        case 3: {
            // A notice read from the same stream: 48 bytes or nothing usable.
            Guarded<uint8_t[48]> notice;
            std::memset(notice.value, 0x3C, sizeof notice.value);
            int r = NORVwaitInfo(fd, notice.value);
            FUZZ_CHECK(notice.intact());
            const uint8_t *p = replies.take(48);
            if (p) {
                FUZZ_CHECK(r == 0 && std::memcmp(notice.value, p, 48) == 0);
            } else {
                FUZZ_CHECK(r == -1);
                for (uint8_t b : notice.value) FUZZ_CHECK(b == 0x3C);
            }
            break;
        }
        case 4: {
            uint64_t value = in.ConsumeIntegral<uint64_t>();
            int r = startNORVMeasurement(fd, value);
            want = head(4, 8);
            append_le(want, value, 8);
            const uint8_t *p = replies.take(4);
            FUZZ_CHECK(r == (p ? static_cast<int32_t>(get_le(p, 4)) : -1));
            break;
        }
        case 5: {
            int32_t value = in.ConsumeIntegral<int32_t>();
            Guarded<uint64_t> first, second;
            first.value = second.value = 0x77;
            int r = endNORVMeasurement(fd, value, &first.value, &second.value);
            FUZZ_CHECK(first.intact() && second.intact());
            want = head(5, 4);
            append_le(want, static_cast<uint32_t>(value), 4);
            const uint8_t *p = replies.take(20);
            int8_t status = p ? static_cast<int8_t>(p[0]) : 0;
            if (!p || status != 0) {
                FUZZ_CHECK(r == (p ? status : -1));
                FUZZ_CHECK(first.value == 0x77 && second.value == 0x77);
            } else {
                FUZZ_CHECK(r == 0);
                FUZZ_CHECK(first.value == get_le(p + 4, 8) && second.value == get_le(p + 12, 8));
            }
            break;
        }
        case 6:
        case 7: {
            bool exec = in.ConsumeBool();
            uint64_t a = in.ConsumeIntegral<uint64_t>();
            uint64_t b = in.ConsumeIntegral<uint64_t>();
            uint64_t c = in.ConsumeIntegral<uint64_t>();
            ActivityNames names = consume_names(in);
            // The text as a caller's C string of its own length, on the heap.
            std::string textStr = in.ConsumeRandomLengthString(40);
            Bytes text(textStr.c_str(), textStr.c_str() + textStr.size() + 1);
            want = head(exec ? 6 : 7, exec ? 196 : 176);
            append_le(want, a, 8);
            append_le(want, b, 8);
            append_le(want, c, 8);
            names_fields(want, names);
            if (exec) {
                uint64_t r = startNORVExec(fd, a, b, c, names,
                                           reinterpret_cast<const char *>(text.data()));
                name_field(want, reinterpret_cast<const char *>(text.data()), 20);
                append_le(want, 0, 2);
                const uint8_t *p = replies.take(8);
                FUZZ_CHECK(r == (p ? get_le(p, 8) : UINT64_MAX));
            } else {
                int r = startNORVlocalFD(fd, a, b, c, names);
                append_le(want, 0, 2);
                const uint8_t *p = replies.take(4);
                FUZZ_CHECK(r == (p ? static_cast<int32_t>(get_le(p, 4)) : -1));
            }
            break;
        }
        case 8: {
            int32_t value = in.ConsumeIntegral<int32_t>();
            Guarded<uint64_t> first, second;
            Guarded<uint8_t> byte;
            first.value = second.value = 0x77;
            byte.value = 0x77;
            int r = endNORVlocalFD(fd, value, &first.value, &second.value, &byte.value);
            FUZZ_CHECK(first.intact() && second.intact() && byte.intact());
            want = head(8, 4);
            append_le(want, static_cast<uint32_t>(value), 4);
            const uint8_t *p = replies.take(24);
            int32_t status = p ? static_cast<int32_t>(get_le(p, 4)) : 0;
            if (!p || status != 0) {
                FUZZ_CHECK(r == (p ? status : -1));
                FUZZ_CHECK(first.value == 0x77 && second.value == 0x77 && byte.value == 0x77);
            } else {
                FUZZ_CHECK(r == 0);
                FUZZ_CHECK(first.value == get_le(p + 4, 8) && second.value == get_le(p + 12, 8) &&
                           byte.value == p[20]);
            }
            break;
        }
        case 9: {
            // A registered send: command 9, then (when the service gives an
            // id that is not negative) the clock read and the datagram.
            ScriptedPeer udp(SOCK_DGRAM);
            FUZZ_CHECK(udp.ok());
            Guarded<TimedSocket> g;
            TimedSocket &s = g.value;
            std::memset(&s, 0, sizeof s);
            init_session(&s, in.ConsumeIntegralInRange<uint8_t>(0, MAX_MACHINES - 1));
            s.requestFd = fd;
            s.udpSocket = udp.fd();
            int len = in.ConsumeIntegralInRange<int>(0, 1000);
            uint8_t value8 = in.ConsumeIntegral<uint8_t>();
            int32_t value32 = in.ConsumeIntegral<int32_t>();
            uint64_t start = in.ConsumeIntegral<uint64_t>();
            uint64_t first = in.ConsumeIntegral<uint64_t>();
            uint64_t second = in.ConsumeIntegral<uint64_t>();
            ActivityNames names = consume_names(in);
            Bytes buffer(static_cast<size_t>(len) + TIMED_HEADER_SIZE, 0x42);
            int r = NORVsendtoWFD(buffer.data(), len, 0, nullptr, 0, value8, value32, &s, start,
                                  first, second, names);
            FUZZ_CHECK(g.intact());
            want = head(9, 184);
            append_le(want, start, 8);
            append_le(want, first, 8);
            append_le(want, second, 8);
            append_le(want, value8, 1);
            append_le(want, 0, 3);
            append_le(want, static_cast<uint32_t>(value32), 4);
            names_fields(want, names);
            append_le(want, 0, 2);
            const uint8_t *p = replies.take(4);
            int32_t id = p ? static_cast<int32_t>(get_le(p, 4)) : -1;
            if (!p || id < 0) {
                FUZZ_CHECK(r == id);
                FUZZ_CHECK(!datagram_waits(udp.peer_fd()));
                break;
            }
            Bytes clock = head(2, 0);
            want.insert(want.end(), clock.begin(), clock.end());
            const uint8_t *c = replies.take(8);
            uint64_t now = c ? get_le(c, 8) : UINT64_MAX;  // sent all the same
            FUZZ_CHECK(r == len + TIMED_HEADER_SIZE);
            Bytes d = received_datagram(udp.peer_fd());
            FUZZ_CHECK(d.size() == static_cast<size_t>(r));
            FUZZ_CHECK(d[0] == s.localId && d[1] == 0);
            FUZZ_CHECK(get_le(d.data() + 4, 8) == now && get_le(d.data() + 12, 8) == now - start);
            FUZZ_CHECK(static_cast<int32_t>(get_le(d.data() + 180, 4)) == id);
            for (size_t i = TIMED_HEADER_SIZE; i < d.size(); ++i) FUZZ_CHECK(d[i] == 0x42);
            break;
        }
        case 10: {
            // NORVsocket: the machine id decides whether the socket is usable.
            Guarded<TimedSocket> g;
            TimedSocket &s = g.value;
            std::memset(&s, 0x6B, sizeof s);
            TimedSocket before = s;
            int r = NORVsocket(AF_UNIX, &s, fd);
            FUZZ_CHECK(g.intact());
            want = head(3, 0);
            const uint8_t *p = replies.take(4);
            int32_t id = p ? static_cast<int32_t>(get_le(p, 4)) : -1;
            FUZZ_CHECK(s.udpSocket >= 0);
            if (id >= 0 && id < MAX_MACHINES) {
                FUZZ_CHECK(r == s.udpSocket && s.localId == id && s.requestFd == fd);
                for (const PeerTiming &t : s.peers)
                    FUZZ_CHECK(t.recvTime == 0 && t.sendStamp == 0 && t.delayEstimate == 0 &&
                               t.delayError == UNKNOWN_DELAY_ERROR);
            } else {
                FUZZ_CHECK(r == -1);
                FUZZ_CHECK(std::memcmp(s.peers, before.peers, sizeof s.peers) == 0);
                FUZZ_CHECK(s.localId == before.localId && s.requestFd == before.requestFd);
            }
            close(s.udpSocket);
            break;
        }
        case 11: {
            // Requests without replies: server binding and socket close.
            TimedSocket s;
            std::memset(&s, 0, sizeof s);
            s.requestFd = fd;
            s.udpSocket = -1;
            int32_t serverId = in.ConsumeIntegral<int32_t>();
            NORVbindserver(nullptr, 0, serverId, &s);
            FUZZ_CHECK(s.serverId == serverId);
            FUZZ_CHECK(NORVsocketClose(&s) == 12);
            want = head(11, 4);
            append_le(want, static_cast<uint32_t>(serverId), 4);
            Bytes close = head(12, 4);
            append_le(close, static_cast<uint32_t>(serverId), 4);
            want.insert(want.end(), close.begin(), close.end());
            break;
        }
        }
        FUZZ_CHECK(service.written() == want);
    }
    return 0;
}
