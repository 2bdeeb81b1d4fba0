// peer_messages.cc: what the norvd of other machines send over UDP port
// 16007, from configured peers and from anyone else, into the receipt decoder
// and the registration and receipt logic, between registrations and receipts
// of local clients.
//
// Input: [0 local id][1 group mask] then operations, each a control byte c:
//   c & 3 == 0: a datagram of (next u16 % 600) bytes from sender (c >> 2) & 7:
//               0 .. 4 the address of that machine (configured only when it is
//               in the group), 5 .. 7 an address no peer has
//   c & 3 == 1: a registration (command 9) for the machines of the next byte,
//               deadline the next u16 in us, on connection (c >> 2) & 3
//   c & 3 == 2: a local receipt (command 10): id from the next registrations
//               made (index next byte) or the next 4 bytes, sender (c >> 2) & 7
//   c & 3 == 3: the clock moves by the next u16 in us; due verdicts are taken
// Checks: a receipt decodes only from exactly 20 bytes of our magic, version
// and type with a machine below 5 and a positive id, and encodes back to the
// same bytes; a probe of version 1 decodes only from exactly 36 bytes that it
// encodes back to, and never from a receipt's; a verdict judges each machine
// by what it reported.
#include <cstdint>
#include <map>
#include <vector>

#include "core/commands.h"
#include "core/peer_wire.h"
#include "core/registrations.h"
#include "fuzz_support.h"
#include "wire.h"

using namespace norv::fuzz;
using namespace norv::wire;


extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in{data, size};
    norvd::ServiceConfig config;
    config.localId = in.u8() % MAX_MACHINES;
    config.groupMask = static_cast<uint8_t>((in.u8() & 0x1F) | (1u << config.localId));
    uint64_t now = UINT64_C(1'700'000'000'000'000'000);
    config.clock = norvd::ServiceClock(0, 0.0, norvd::BaseTime(now));
    config.registrationShares = {8, 8, 0};  // any connection may fill the table
    config.receiptLogCapacity = 8;
    config.graceNs = 1'000'000;
    // Every line formatted, also debug ones, and thrown away.
    norvd::Log log([](const std::string &) {}, [] { return norvd::BaseTime(); }, norvd::Severity::kDebug);
    norvd::Service service(config, log);
    std::vector<int32_t> ids;
    // What each machine reported for each pending registration (first report).
    std::map<int32_t, std::map<uint8_t, uint64_t>> reported;
    std::map<int32_t, uint8_t> expected;

    while (in.more()) {
        uint8_t c = in.u8();
        switch (c & 3) {
        case 0: {
            size_t len = in.le(2) % 600;
            size_t take = std::min(len, in.size - in.at);
            // Exactly the datagram on the heap, so a read past it is seen.
            Bytes d(in.data + in.at, in.data + in.at + take);
            in.at += take;
            auto r = norvd::peer::decode_receipt(d.data(), d.size());
            if (r) {
                FUZZ_CHECK(d.size() == norvd::peer::receipt::kSize);
                FUZZ_CHECK(r->receiver < MAX_MACHINES && r->registrationId > 0);
                uint8_t again[norvd::peer::receipt::kSize];
                norvd::peer::encode_receipt(*r, again);
                again[norvd::peer::receipt::kReceiver + 1] = d[norvd::peer::receipt::kReceiver + 1];
                FUZZ_CHECK(std::memcmp(again, d.data(), sizeof again) == 0);
            }
            auto p = norvd::peer::decode_probe(d.data(), d.size(), norvd::peer::kVersion);
            if (p) {
                FUZZ_CHECK(!r && d.size() == norvd::peer::probe::kSize);
                FUZZ_CHECK(p->probe.sender < MAX_MACHINES && p->probe.addressee < MAX_MACHINES);
                uint8_t again[norvd::peer::probe::kSize];
                norvd::peer::encode_probe(*p, norvd::peer::kVersion, again);
                FUZZ_CHECK(std::memcmp(again, d.data(), sizeof again) == 0);
            }
            int from = (c >> 2) & 7;
            // norvd takes a message only from a configured peer, as that machine.
            bool peer = from < MAX_MACHINES && from != config.localId &&
                        (config.groupMask & (1u << from));
            if (r && peer) {
                service.peer_receipt(static_cast<uint8_t>(from),
                                     norvd::BaseReceipt{r->receiver, r->registrationId, norvd::BaseTime(r->receiptTime)},
                                     norvd::BaseTime(now));
                if (r->receiver == from && expected.count(r->registrationId) &&
                    (expected[r->registrationId] & (1u << from)))
                    reported[r->registrationId].emplace(static_cast<uint8_t>(from), r->receiptTime);
            }
            break;
        }
        case 1: {
            uint8_t machines = in.u8();
            uint64_t deadline = static_cast<uint64_t>(in.le(2)) * 1000;
            Bytes p(register_send::kSize, 0);
            put_u64le(p.data(), register_send::kStartStamp, config.clock.service_time(norvd::BaseTime(now)).ns);
            put_u64le(p.data(), register_send::kSecond, deadline);
            put_u8(p.data(), register_send::kValue8, machines);
            auto out = service.handle((c >> 2) & 3, norvd::Request{command::kRegisterSend, p}, norvd::BaseTime(now));
            FUZZ_CHECK(out.reply.size() == 4);
            int32_t id = get_i32le(out.reply.data(), 0);
            if (id > 0) {
                ids.push_back(id);
                expected[id] = machines & config.groupMask;
            }
            break;
        }
        case 2: {
            uint8_t pick = in.u8();
            int32_t id = pick < 128 && !ids.empty() ? ids[pick % ids.size()]
                                                    : static_cast<int32_t>(in.le(4));
            uint8_t sender = (c >> 2) & 7;
            Bytes p(receipt::kSize, 0);
            put_i32le(p.data(), receipt::kRegistrationId, id);
            put_u64le(p.data(), receipt::kReceiptTime, config.clock.service_time(norvd::BaseTime(now)).ns);
            put_u8(p.data(), receipt::kSender, sender);
            auto out = service.handle(0, norvd::Request{command::kReceipt, p}, norvd::BaseTime(now));
            FUZZ_CHECK(out.reply.size() == 4);
            int32_t a = get_i32le(out.reply.data(), 0);
            if (sender >= MAX_MACHINES || id <= 0) FUZZ_CHECK(a == norvd::kReceiptInvalid);
            if (a == 0 && sender == config.localId && expected.count(id) &&
                (expected[id] & (1u << sender)))
                reported[id].emplace(sender, now);
            break;
        }
        case 3: {
            now += static_cast<uint64_t>(in.le(2)) * 1000;
            for (const auto &v : service.take_due(norvd::BaseTime(now))) {
                int32_t id = static_cast<int32_t>(v.notice.seq);
                FUZZ_CHECK(expected.count(id) == 1);
                for (uint8_t m = 0; m < MAX_MACHINES; ++m) {
                    const MachineVerdict &mv = v.notice.verdicts[m];
                    bool wanted = expected[id] & (1u << m);
                    auto got = reported[id].find(m);
                    if (!wanted) {
                        FUZZ_CHECK(mv.status == norvd::kNothingToReport);
                    } else if (got == reported[id].end()) {
                        FUZZ_CHECK(mv.status == norvd::kTimingFailure && mv.latenessKnown == 0);
                    } else {
                        FUZZ_CHECK(mv.latenessKnown == 1);
                        FUZZ_CHECK((mv.status == norvd::kTimely) == (mv.lateness <= 0));
                    }
                }
                expected.erase(id);
                reported.erase(id);
            }
            break;
        }
        }
    }
    return 0;
}
