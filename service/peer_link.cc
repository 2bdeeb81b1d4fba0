// peer_link.cc: sealing and judging the messages between norvds.
#include "peer_link.h"

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

std::string describe(const PeerCounters &c) {
    return "accepted " + std::to_string(c.accepted) + ", not-peer " + std::to_string(c.notPeer) +
           ", malformed " + std::to_string(c.malformed) + ", unauthenticated " +
           std::to_string(c.unauthenticated) + ", no-key " + std::to_string(c.noKey) +
           ", bad-code " + std::to_string(c.badCode) + ", wrong-machine " +
           std::to_string(c.wrongMachine) + ", stale " + std::to_string(c.stale) + ", replayed " +
           std::to_string(c.replayed) + ", too-old " + std::to_string(c.tooOld) + ", old-epoch " +
           std::to_string(c.oldEpoch);
}

PeerLink::PeerLink(uint8_t localId, std::optional<GroupKey> key, uint64_t epoch)
    : localId_(localId), key_(key), epoch_(epoch) {}

size_t PeerLink::seal(uint8_t to, const peer::Receipt &r, uint8_t *buf) {
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

PeerLink::Opened PeerLink::drop(PeerDrop why) {
    switch (why) {
    case PeerDrop::kNone:
        break;
    case PeerDrop::kNotPeer:
        ++counters_.notPeer;
        break;
    case PeerDrop::kMalformed:
        ++counters_.malformed;
        break;
    case PeerDrop::kUnauthenticated:
        ++counters_.unauthenticated;
        break;
    case PeerDrop::kNoKey:
        ++counters_.noKey;
        break;
    case PeerDrop::kBadCode:
        ++counters_.badCode;
        break;
    case PeerDrop::kWrongMachine:
        ++counters_.wrongMachine;
        break;
    case PeerDrop::kStale:
        ++counters_.stale;
        break;
    case PeerDrop::kReplayed:
        ++counters_.replayed;
        break;
    case PeerDrop::kTooOld:
        ++counters_.tooOld;
        break;
    case PeerDrop::kOldEpoch:
        ++counters_.oldEpoch;
        break;
    }
    Opened o;
    o.drop = why;
    return o;
}

PeerLink::Opened PeerLink::open(int from, const uint8_t *buf, size_t len, uint64_t started) {
    if (from < 0 || from >= MAX_MACHINES) return drop(PeerDrop::kNotPeer);
    auto version = peer::message_version(buf, len);
    if (!key_) {
        if (version == peer::kVersionAuthenticated) return drop(PeerDrop::kNoKey);
        // Version 1 as it always was: the address is the proof, and the
        // service checks that the receipt names its sender.
        auto r = peer::decode_receipt(buf, len);
        if (!r) return drop(PeerDrop::kMalformed);
        ++counters_.accepted;
        Opened o;
        o.receipt = r;
        return o;
    }
    if (version == peer::kVersion) return drop(PeerDrop::kUnauthenticated);
    auto a = peer::decode_receipt_v2(buf, len);
    if (!a) return drop(PeerDrop::kMalformed);
    // The code first: what comes after only sorts out messages of the group.
    if (!code_matches(*key_, buf, peer::receipt_v2::kCode, buf + peer::receipt_v2::kCode))
        return drop(PeerDrop::kBadCode);
    if (a->receipt.receiver != from || a->addressee != localId_) return drop(PeerDrop::kWrongMachine);
    uint64_t floor = started > kClockSlackNs ? started - kClockSlackNs : 0;
    if (a->receipt.receiptTime < floor) return drop(PeerDrop::kStale);
    ReplayWindow::Verdict v = windows_[from].admit(a->epoch, a->seq);
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
    ++counters_.accepted;
    Opened o;
    o.receipt = a->receipt;
    o.newEpoch = v == ReplayWindow::Verdict::kNewEpoch;
    o.epoch = a->epoch;
    return o;
}

}  // namespace norvd
