// service_requests.cc: norvd's request reassembly and command handling. The
// input is a script for four devices: chunks of bytes of any length fed to
// each device's RequestParser, every whole request handed to the Service, the
// true time moved forward, verdicts taken, connections closed and devices
// reset. Tables are small so that they fill up.
//
// Input: [0 local id][1 group mask][2..5 clock offset, i32 us][6 drift, i8 ppm]
// then operations, each a control byte c and its operands:
//   c & 3 == 0, 1: feed the next (byte) bytes to device (c >> 2) & 3
//   c & 3 == 2:    advance the clock by the next u16 in us, take due verdicts
//   c & 3 == 3:    (c >> 2) & 1 ? close the connection of device (c >> 3) & 3
//                                : reset the parser of that device
// Checks: a parser never holds a whole request once every one was taken, nor
// more than a head and the largest payload; every reply has the size that the
// command table gives (none for a wrong payload size, an unknown command, 0,
// 1, 11 and 12); reply values stay in their ranges; verdicts go only to
// connections that registered since they were last closed; the pending
// registrations of each account stay within its share, and the shares count
// exactly the registrations pending. Device 0 is root's, devices 1 and 2 one
// user's, device 3 an unknown owner's.
#include <array>
#include <cstdint>
#include <map>
#include <set>

#include "core/commands.h"
#include "core/registrations.h"
#include "core/request_parser.h"
#include "fuzz_support.h"
#include "wire.h"

using namespace norv::fuzz;
using namespace norv::wire;

namespace {

constexpr int kDevices = 4;
constexpr size_t kLargestPartial = request::kHeadSize + norvd::kMaxPayload - 1;
const norvd::Account kAccounts[kDevices] = {norvd::Account::of(0), norvd::Account::of(1000),
                                            norvd::Account::of(1000), norvd::Account::unknown()};

// The pending registrations of each account against the shares.
void check_shares(const norvd::Service &service, const norvd::ShareLimits &limits) {
    const norvd::Registrations &regs = service.registrations();
    std::map<int, size_t> by = regs.pending_by_connection();
    size_t root = by[0], user = by[1] + by[2], unknown = by[3];
    const norvd::UserShares &shares = regs.shares();
    FUZZ_CHECK(shares.held(kAccounts[0]) == root && shares.held(kAccounts[1]) == user &&
               shares.held(kAccounts[3]) == unknown && shares.held() == regs.pending());
    FUZZ_CHECK(user <= limits.perUser && unknown <= limits.perUser);
    FUZZ_CHECK(user + unknown <= limits.total - limits.rootReserve);
    FUZZ_CHECK(regs.pending() <= limits.total);
}

void check_reply(const norvd::Request &req, const norvd::Outcome &out, uint8_t localId) {
    int32_t cmd = req.command;
    const Command *row = find_command(cmd);
    bool known = row != nullptr && req.payload.size() == row->payloadSize;
    if (!known || cmd == command::kConnect) {
        FUZZ_CHECK(out.reply.empty() && !out.disconnect && !out.forward);
        return;
    }
    FUZZ_CHECK(out.reply.size() == row->replySize);
    FUZZ_CHECK(out.disconnect == (cmd == command::kDisconnect));
    FUZZ_CHECK(!out.forward || cmd == command::kReceipt);
    const uint8_t *r = out.reply.data();
    switch (cmd) {
    case command::kTimestamp:
    case command::kStartExec:
        FUZZ_CHECK(get_u64le(r, 0) <= norvd::kMaxServiceTime);
        break;
    case command::kMachineId:
        FUZZ_CHECK(get_i32le(r, 0) == localId);
        break;
    case command::kStartMeasurement:
    case command::kStartLocalFD: {
        int32_t h = get_i32le(r, 0);
        FUZZ_CHECK(h > 0 || h == NORV_REFUSED_TABLE_FULL);
        break;
    }
    case command::kRegisterSend: {
        int32_t id = get_i32le(r, 0);
        FUZZ_CHECK(id == NORV_REFUSED_TABLE_FULL || id == NORV_REFUSED_NO_RECEIVER ||
                   (id > 0 && norvd::machine_of_id(id) == localId));
        break;
    }
    case command::kReceipt: {
        int32_t a = get_i32le(r, 0);
        FUZZ_CHECK(a == 0 || a == norvd::kReceiptRepeated || a == norvd::kReceiptInvalid);
        if (out.forward) {
            FUZZ_CHECK(a == 0);
            FUZZ_CHECK(out.forward->machine < MAX_MACHINES && out.forward->machine != localId);
            FUZZ_CHECK(out.forward->receipt.receiver == localId);
        }
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in{data, size};
    norvd::ServiceConfig config;
    config.localId = in.u8() % MAX_MACHINES;
    config.groupMask = static_cast<uint8_t>((in.u8() & 0x1F) | (1u << config.localId));
    int32_t offsetUs = static_cast<int32_t>(in.le(4));
    int8_t drift = static_cast<int8_t>(in.u8());
    uint64_t now = UINT64_C(1'700'000'000'000'000'000);
    config.clock = norvd::ServiceClock(static_cast<int64_t>(offsetUs) * 1000, drift, norvd::BaseTime(now));
    config.registrationShares = {6, 3, 1};
    config.activityCapacity = 6;
    config.receiptLogCapacity = 8;
    config.graceNs = 1'000'000;
    // Every line formatted, also debug ones, and thrown away.
    norvd::Log log([](const std::string &) {}, [] { return norvd::BaseTime(); }, norvd::Severity::kDebug);
    norvd::Service service(config, log);
    for (int dev = 0; dev < kDevices; ++dev) service.set_account(dev, kAccounts[dev]);

    std::array<norvd::RequestParser, kDevices> parsers;
    std::set<int> registered;  // connections with registrations since their last close

    while (in.more()) {
        uint8_t c = in.u8();
        int dev = (c >> 2) & 3;
        switch (c & 3) {
        case 0:
        case 1: {
            size_t len = in.u8();
            size_t take = std::min(len, in.size - in.at);
            parsers[dev].feed(in.data + in.at, take);
            in.at += take;
            norvd::Request req;
            std::string why;
            for (;;) {
                auto status = parsers[dev].next(req, why);
                if (status == norvd::RequestParser::Status::kNeedMore) break;
                if (status == norvd::RequestParser::Status::kMalformed) {
                    FUZZ_CHECK(parsers[dev].buffered() == 0 && !why.empty());
                    break;
                }
                FUZZ_CHECK(req.payload.size() <= static_cast<size_t>(norvd::kMaxPayload));
                FUZZ_CHECK(req.payload.size() % 4 == 0);
                norvd::Outcome out = service.handle(dev, req, norvd::BaseTime(now));
                check_reply(req, out, config.localId);
                if (req.command == command::kRegisterSend && out.reply.size() == 4 &&
                    get_i32le(out.reply.data(), 0) > 0)
                    registered.insert(dev);
                if (out.disconnect) {
                    // norvd closes the connection on command 1; the next
                    // one on this device is the same user's.
                    service.connection_closed(dev);
                    service.set_account(dev, kAccounts[dev]);
                    registered.erase(dev);
                }
            }
            FUZZ_CHECK(parsers[dev].buffered() <= kLargestPartial);
            break;
        }
        case 2: {
            now += static_cast<uint64_t>(in.le(2)) * 1000;
            size_t before = service.pending_registrations();
            auto verdicts = service.take_due(norvd::BaseTime(now));
            FUZZ_CHECK(service.pending_registrations() + verdicts.size() == before);
            for (const auto &v : verdicts) {
                FUZZ_CHECK(registered.count(v.connection) == 1);
                FUZZ_CHECK(v.notice.sender == config.localId);
                FUZZ_CHECK(norvd::machine_of_id(static_cast<int32_t>(v.notice.seq)) == config.localId);
                for (size_t m = 0; m < MAX_MACHINES; ++m) {
                    const MachineVerdict &mv = v.notice.verdicts[m];
                    FUZZ_CHECK(mv.status <= norvd::kNothingToReport && mv.latenessKnown <= 1);
                    if (!(config.groupMask & (1u << m))) FUZZ_CHECK(mv.status == norvd::kNothingToReport);
                    if (mv.status == norvd::kTimely) FUZZ_CHECK(mv.latenessKnown == 1 && mv.lateness <= 0);
                    if (mv.status == norvd::kTimingFailure && mv.latenessKnown) FUZZ_CHECK(mv.lateness >= 1);
                }
            }
            if (auto due = service.next_due()) FUZZ_CHECK(due->ns > now);
            break;
        }
        case 3: {
            int target = (c >> 3) & 3;
            if ((c >> 2) & 1) {
                service.connection_closed(target);
                service.set_account(target, kAccounts[target]);
                registered.erase(target);
            } else {
                parsers[target].reset();
                FUZZ_CHECK(parsers[target].buffered() == 0);
            }
            break;
        }
        }
        check_shares(service, config.registrationShares);
    }
    return 0;
}
