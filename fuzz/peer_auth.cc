// peer_auth.cc: authenticated messages between norvds (version 2) into the
// decoder and the peer messages of a receiving norvd, beside genuine messages
// of the other machines of its group, played any number of times, from any
// address, changed in one bit or not, and senders that start again.
//
// Input: [0 local id][1 flags: bit 0 the group has a key] then operations,
// each a control byte c:
//   c & 3 == 0: a datagram of (next u16 % 200) bytes from sender (c >> 2) & 7:
//               0 .. 4 the peer address of that machine, 5 .. 7 no peer's
//   c & 3 == 1: machine (c >> 2) % 5 seals a receipt for the addressee of the
//               next byte % 5, registration id the next 4 bytes, receipt time
//               (next byte - 8) ns after the receiver's start less the slack;
//               with c & 0x80, under another key than the group's
//   c & 3 == 2: message (next byte) of those sealed is delivered from sender
//               (c >> 2) & 7; when the byte after is >= 128, with the bit
//               (that byte & 7) of its byte (next byte) flipped
//   c & 3 == 3: machine (c >> 2) % 5 starts again, its epoch the next byte + 1
//               above its last one (below it, with c & 0x80)
// Checks: the decoder takes exactly 68 bytes of our magic, version 2 and type
// with machines below 5 and a positive id, and encodes back to the same bytes;
// every datagram changes exactly one counter; the receiver takes a message only
// when it is one that a machine of the group sealed, sent from that machine's
// address, to this machine, not stale, and new by a model of its sender's
// sequence numbers that remembers every number; it takes it with the fields
// sealed; anything else the group's key did not seal is a bad code. Without a
// key a probe that decodes is taken from its sender's address, and nothing is
// ever taken as both a receipt and a probe.
#include <map>
#include <set>
#include <vector>

#include "core/group_key.h"
#include "core/peer_wire.h"
#include "fuzz_support.h"
#include "io/peer_messages.h"

using namespace norv::fuzz;
using norvd::PeerDrop;
using norvd::PeerMessages;
namespace peer = norvd::peer;

namespace {

constexpr uint64_t kStarted = UINT64_C(1'700'000'000'000'000'000);

// A message that the group's key sealed.
struct Sealed {
    uint8_t sender, addressee;
    uint64_t epoch, seq;
    peer::Receipt receipt;
};

// Every number taken from one sender in its latest epoch.
struct SenderModel {
    bool heard = false;
    uint64_t epoch = 0, highest = 0;
    std::set<uint64_t> taken;

    PeerDrop admit(uint64_t e, uint64_t s) {
        if (!heard || e > epoch) {
            heard = true;
            epoch = e;
            highest = s;
            taken = {s};
            return PeerDrop::kNone;
        }
        if (e < epoch) return PeerDrop::kOldEpoch;
        if (s + norvd::ReplayWindow::kWidth <= highest) return PeerDrop::kTooOld;
        if (!taken.insert(s).second) return PeerDrop::kReplayed;
        highest = std::max(highest, s);
        return PeerDrop::kNone;
    }
};

norvd::GroupKey key_of(uint8_t fill) {
    norvd::GroupKey k;
    k.fill(fill);
    return k;
}

void check_decoder(const Bytes &d) {
    auto a = peer::decode_receipt_v2(d.data(), d.size());
    bool shaped = d.size() == peer::receipt_v2::kSize && d[0] == 'N' && d[1] == 'R' && d[2] == 'V' &&
                  d[3] == 'D' && d[4] == 2 && d[5] == 1 && d[6] < MAX_MACHINES && d[7] < MAX_MACHINES &&
                  (d[11] & 0x80) == 0 && (d[8] | d[9] | d[10] | d[11]) != 0;
    FUZZ_CHECK(a.has_value() == shaped);
    if (!a) return;
    uint8_t again[peer::receipt_v2::kSize];
    peer::encode_receipt_v2(*a, again);
    std::memcpy(again + peer::receipt_v2::kCode, d.data() + peer::receipt_v2::kCode, peer::receipt_v2::kCodeSize);
    FUZZ_CHECK(std::memcmp(again, d.data(), sizeof again) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (!norvd::authentication_available()) return 0;
    Reader in{data, size};
    uint8_t local = in.u8() % MAX_MACHINES;
    bool keyed = in.u8() & 1;
    norvd::GroupKey key = key_of(0x5A);
    std::optional<norvd::GroupKey> groupKey;
    if (keyed) groupKey = key;
    PeerMessages here(local, groupKey, norvd::CommonTime(kStarted));

    std::vector<PeerMessages> senders;
    uint64_t epochs[MAX_MACHINES];
    for (uint8_t m = 0; m < MAX_MACHINES; ++m) {
        epochs[m] = kStarted - 1000;
        senders.emplace_back(m, groupKey, norvd::CommonTime(epochs[m]));
    }
    PeerMessages stranger(0, key_of(0xA5), norvd::CommonTime(kStarted));
    std::vector<Bytes> history;
    std::map<Bytes, Sealed> sealed;
    SenderModel models[MAX_MACHINES];
    norvd::PeerCounters tally;
    uint64_t delivered = 0;

    auto deliver = [&](int address, const Bytes &d) {
        int from = address < MAX_MACHINES ? address : -1;
        auto o = here.open(from, d.data(), d.size(), norvd::CommonTime(kStarted));
        ++delivered;
        check_decoder(d);
        auto version = peer::message_version(d.data(), d.size());
        auto it = sealed.find(d);
        PeerDrop want;
        if (from < 0) {
            want = PeerDrop::kNotPeer;
        } else if (!keyed) {
            if (version == peer::kVersionAuthenticated)
                want = PeerDrop::kNoKey;
            else if (auto p = peer::decode_probe(d.data(), d.size(), peer::kVersion))
                want = p->probe.sender == from && p->probe.addressee == local ? PeerDrop::kNone
                                                                               : PeerDrop::kWrongMachine;
            else
                want = peer::decode_receipt(d.data(), d.size()) ? PeerDrop::kNone : PeerDrop::kMalformed;
        } else if (version == peer::kVersion) {
            want = PeerDrop::kUnauthenticated;
        } else if (peer::decode_probe(d.data(), d.size(), peer::kVersionAuthenticated)) {
            want = PeerDrop::kBadCode;  // only receipts are sealed here: no probe has the key's code
        } else if (!peer::decode_receipt_v2(d.data(), d.size())) {
            want = PeerDrop::kMalformed;
        } else if (it == sealed.end()) {
            want = PeerDrop::kBadCode;  // the group's key never sealed these bytes
        } else {
            const Sealed &s = it->second;
            if (s.sender != from || s.addressee != local)
                want = PeerDrop::kWrongMachine;
            else if (s.receipt.receiptTime < kStarted - PeerMessages::kClockSlackNs)
                want = PeerDrop::kStale;
            else
                want = models[from].admit(s.epoch, s.seq);
        }
        FUZZ_CHECK(o.drop == want);
        FUZZ_CHECK((o.receipt.has_value() || o.probe.has_value()) == (want == PeerDrop::kNone));
        FUZZ_CHECK(!(o.receipt && o.probe));
        if (o.receipt && keyed) {
            const Sealed &s = it->second;
            FUZZ_CHECK(o.receipt->receiver == s.sender && o.receipt->registrationId == s.receipt.registrationId &&
                       o.receipt->receiptTime == s.receipt.receiptTime);
        }
        switch (want) {
        case PeerDrop::kNone: ++tally.accepted; break;
        case PeerDrop::kNotPeer: ++tally.notPeer; break;
        case PeerDrop::kMalformed: ++tally.malformed; break;
        case PeerDrop::kUnauthenticated: ++tally.unauthenticated; break;
        case PeerDrop::kNoKey: ++tally.noKey; break;
        case PeerDrop::kBadCode: ++tally.badCode; break;
        case PeerDrop::kWrongMachine: ++tally.wrongMachine; break;
        case PeerDrop::kStale: ++tally.stale; break;
        case PeerDrop::kReplayed: ++tally.replayed; break;
        case PeerDrop::kTooOld: ++tally.tooOld; break;
        case PeerDrop::kOldEpoch: ++tally.oldEpoch; break;
        }
        FUZZ_CHECK(norvd::describe(here.counters()) == norvd::describe(tally));
        FUZZ_CHECK(here.counters().accepted + here.counters().dropped() == delivered);
    };

    while (in.more()) {
        uint8_t c = in.u8();
        switch (c & 3) {
        case 0: {
            size_t len = in.le(2) % 200;
            size_t take = std::min(len, in.size - in.at);
            // Exactly the datagram on the heap, so a read past it is seen.
            Bytes d(in.data + in.at, in.data + in.at + take);
            in.at += take;
            deliver((c >> 2) & 7, d);
            break;
        }
        case 1: {
            uint8_t m = static_cast<uint8_t>(((c >> 2) & 0x1F) % MAX_MACHINES);
            uint8_t to = in.u8() % MAX_MACHINES;
            int32_t id = static_cast<int32_t>(in.le(4));
            uint64_t at = kStarted - PeerMessages::kClockSlackNs + in.u8() - 8;
            bool foreign = c & 0x80;
            PeerMessages &sender = foreign ? stranger : senders[m];
            Bytes d(norvd::kMaxPeerMessage);
            d.resize(sender.seal(to, peer::Receipt{m, id, at}, d.data()));
            if (keyed && !foreign) {
                auto a = peer::decode_receipt_v2(d.data(), d.size());
                if (id > 0) FUZZ_CHECK(a && a->receipt.receiver == m && a->addressee == to);
                if (a) sealed.emplace(d, Sealed{m, to, a->epoch, a->seq, a->receipt});
            }
            history.push_back(d);
            break;
        }
        case 2: {
            uint8_t pick = in.u8(), flip = in.u8(), at = in.u8();
            if (history.empty()) break;
            Bytes d = history[pick % history.size()];
            if (flip >= 128 && !d.empty()) d[at % d.size()] ^= static_cast<uint8_t>(1u << (flip & 7));
            deliver((c >> 2) & 7, d);
            break;
        }
        case 3: {
            uint8_t m = static_cast<uint8_t>(((c >> 2) & 0x1F) % MAX_MACHINES);
            uint64_t step = in.u8() + 1u;
            epochs[m] = c & 0x80 ? epochs[m] - step : epochs[m] + step;
            senders[m] = PeerMessages(m, groupKey, norvd::CommonTime(epochs[m]));
            break;
        }
        }
    }
    return 0;
}
