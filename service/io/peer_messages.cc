// peer_messages.cc: sealing and judging the messages between norvds.
#include "io/peer_messages.h"

namespace norvd {

const char *drop_reason(PeerDrop drop) {
    switch (drop) {
    case PeerDrop::kNone:
        return "taken";
    case PeerDrop::kNotPeer:
        return "not from a peer";
    case PeerDrop::kMalformed:
        return "malformed";
    case PeerDrop::kUnauthenticated:
        return "without authentication code (version 1) while the group has a key";
    case PeerDrop::kNoKey:
        return "authenticated (version 2) but this norvd has no key";
    case PeerDrop::kBadCode:
        return "wrong authentication code";
    case PeerDrop::kWrongMachine:
        return "names another sender than its address's or is for another machine";
    case PeerDrop::kStale:
        return "its receipt is from before this norvd started";
    case PeerDrop::kReplayed:
        return "replayed: its sequence number was taken already";
    case PeerDrop::kTooOld:
        return "its sequence number is behind the window";
    case PeerDrop::kOldEpoch:
        return "from an earlier start of its sender";
    }
    return "dropped";
}

const PeerCounterName kPeerCounterNames[kPeerCounterCount] = {
    {"accepted", &PeerCounters::accepted},
    {"not-peer", &PeerCounters::notPeer},
    {"malformed", &PeerCounters::malformed},
    {"unauthenticated", &PeerCounters::unauthenticated},
    {"no-key", &PeerCounters::noKey},
    {"bad-code", &PeerCounters::badCode},
    {"wrong-machine", &PeerCounters::wrongMachine},
    {"stale", &PeerCounters::stale},
    {"replayed", &PeerCounters::replayed},
    {"too-old", &PeerCounters::tooOld},
    {"old-epoch", &PeerCounters::oldEpoch},
};

std::string describe(const PeerCounters &c) {
    std::string out;
    for (const PeerCounterName &n : kPeerCounterNames)
        out += (out.empty() ? "" : ", ") + std::string(n.name) + " " + std::to_string(c.*n.field);
    return out;
}

PeerMessages::PeerMessages(uint8_t localId, std::optional<GroupKey> key, CommonTime start)
    : localId_(localId), key_(key), epoch_(start.ns) {}

size_t PeerMessages::seal(uint8_t to, const peer::Receipt &r, uint8_t *buf) {
    peer::Receipt mine = r;
    mine.receiver = localId_;
    if (!key_) {
        peer::encode_receipt(mine, buf);
        return peer::receipt::kSize;
    }
    peer::encode_receipt_v2(peer::AuthenticatedReceipt{mine, to, epoch_, ++sent_[to]}, buf);
    compute_code(*key_, buf, peer::receipt_v2::kCode, buf + peer::receipt_v2::kCode);
    return peer::receipt_v2::kSize;
}

size_t PeerMessages::seal(uint8_t to, const peer::Probe &p, uint8_t *buf) {
    peer::Probe mine = p;
    mine.sender = localId_;
    mine.addressee = to;
    if (!key_) {
        peer::encode_probe(peer::AuthenticatedProbe{mine, 0, 0}, peer::kVersion, buf);
        return peer::probe::kSize;
    }
    peer::encode_probe(peer::AuthenticatedProbe{mine, epoch_, ++sent_[to]}, peer::kVersionAuthenticated, buf);
    compute_code(*key_, buf, peer::probe::kCode, buf + peer::probe::kCode);
    return peer::probe::kSizeAuthenticated;
}

PeerMessages::Opened PeerMessages::drop(PeerDrop why) {
    Opened o;
    o.drop = why;
    return o;
}

void PeerMessages::count(int from, PeerDrop drop) {
    uint64_t PeerCounters::*field = nullptr;
    switch (drop) {
    case PeerDrop::kNone: field = &PeerCounters::accepted; break;
    case PeerDrop::kNotPeer: field = &PeerCounters::notPeer; break;
    case PeerDrop::kMalformed: field = &PeerCounters::malformed; break;
    case PeerDrop::kUnauthenticated: field = &PeerCounters::unauthenticated; break;
    case PeerDrop::kNoKey: field = &PeerCounters::noKey; break;
    case PeerDrop::kBadCode: field = &PeerCounters::badCode; break;
    case PeerDrop::kWrongMachine: field = &PeerCounters::wrongMachine; break;
    case PeerDrop::kStale: field = &PeerCounters::stale; break;
    case PeerDrop::kReplayed: field = &PeerCounters::replayed; break;
    case PeerDrop::kTooOld: field = &PeerCounters::tooOld; break;
    case PeerDrop::kOldEpoch: field = &PeerCounters::oldEpoch; break;
    }
    ++(counters_.*field);
    if (from >= 0 && from < MAX_MACHINES) ++(byMachine_[from].*field);
}

PeerMessages::Opened PeerMessages::open(int from, const uint8_t *buf, size_t len, CommonTime started) {
    Opened o = judge(from, buf, len, started);
    count(from, o.drop);
    return o;
}

PeerMessages::Opened PeerMessages::judge(int from, const uint8_t *buf, size_t len, CommonTime started) {
    if (from < 0 || from >= MAX_MACHINES) return drop(PeerDrop::kNotPeer);
    auto version = peer::message_version(buf, len);
    bool isProbe = peer::message_type(buf, len) == peer::kTypeProbe;
    if (!key_) {
        if (version == peer::kVersionAuthenticated) return drop(PeerDrop::kNoKey);
        Opened o;
        if (isProbe) {
            auto p = peer::decode_probe(buf, len, peer::kVersion);
            if (!p) return drop(PeerDrop::kMalformed);
            if (p->probe.sender != from || p->probe.addressee != localId_) return drop(PeerDrop::kWrongMachine);
            o.probe = p->probe;
            return o;
        }
        // Version 1 as it always was: the address is the proof, and the
        // service checks that the receipt names its sender.
        auto r = peer::decode_receipt(buf, len);
        if (!r) return drop(PeerDrop::kMalformed);
        o.receipt = r;
        return o;
    }
    if (version == peer::kVersion) return drop(PeerDrop::kUnauthenticated);
    if (isProbe) {
        auto p = peer::decode_probe(buf, len, peer::kVersionAuthenticated);
        if (!p) return drop(PeerDrop::kMalformed);
        if (!code_matches(*key_, buf, peer::probe::kCode, buf + peer::probe::kCode))
            return drop(PeerDrop::kBadCode);
        if (p->probe.sender != from || p->probe.addressee != localId_) return drop(PeerDrop::kWrongMachine);
        // No check of its times against this start: an answer counts only
        // when it answers a request of this start (the peer group matches
        // it), and answering an old request costs one answer.
        Opened o = admit(static_cast<uint8_t>(from), p->epoch, p->seq);
        if (o.drop == PeerDrop::kNone) o.probe = p->probe;
        return o;
    }
    auto a = peer::decode_receipt_v2(buf, len);
    if (!a) return drop(PeerDrop::kMalformed);
    // The code first: what comes after only sorts out messages of the group.
    if (!code_matches(*key_, buf, peer::receipt_v2::kCode, buf + peer::receipt_v2::kCode))
        return drop(PeerDrop::kBadCode);
    if (a->receipt.receiver != from || a->addressee != localId_) return drop(PeerDrop::kWrongMachine);
    CommonTime floor = started.ns > kClockSlackNs ? started - kClockSlackNs : CommonTime();
    if (CommonTime(a->receipt.receiptTime) < floor) return drop(PeerDrop::kStale);
    Opened o = admit(static_cast<uint8_t>(from), a->epoch, a->seq);
    if (o.drop == PeerDrop::kNone) o.receipt = a->receipt;
    return o;
}

PeerMessages::Opened PeerMessages::admit(uint8_t from, uint64_t epoch, uint64_t seq) {
    ReplayWindow::Verdict v = windows_[from].admit(epoch, seq);
    switch (v) {
    case ReplayWindow::Verdict::kDuplicate:
        return drop(PeerDrop::kReplayed);
    case ReplayWindow::Verdict::kTooOld:
        return drop(PeerDrop::kTooOld);
    case ReplayWindow::Verdict::kOldEpoch:
        return drop(PeerDrop::kOldEpoch);
    case ReplayWindow::Verdict::kNew:
    case ReplayWindow::Verdict::kNewEpoch:
        break;
    }
    Opened o;
    o.newEpoch = v == ReplayWindow::Verdict::kNewEpoch;
    o.epoch = epoch;
    return o;
}

}  // namespace norvd
