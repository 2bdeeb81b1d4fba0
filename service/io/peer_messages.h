// peer_messages.h: what norvd sends its peers and what it takes from them.
//
// Without a key, receipts and probes travel as version 1 and a message counts
// as its peer's when it comes from that peer's address and port. With the
// group's key they travel as version 2 (peer_wire.h), and a message counts
// only when its code is right, it names the machine of its address as sender
// and this machine as addressee, a receipt is not from before this norvd
// started, and its sequence number is new in its sender's latest epoch
// (receipts and probes share the numbering). Every message that is not taken
// is counted by cause. No I/O: the peer group
// (parts/peer_group.h) reads and sends.
#ifndef NORVD_PEER_MESSAGES_H
#define NORVD_PEER_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/group_key.h"
#include "core/peer_wire.h"
#include "core/replay_window.h"
#include "core/times.h"
#include "norv.h"

namespace norvd {

// Room for the longest message seal() writes.
constexpr size_t kMaxPeerMessage = peer::probe::kSizeAuthenticated;
static_assert(kMaxPeerMessage >= peer::receipt_v2::kSize);

// Why a message from the peer socket was not taken.
enum class PeerDrop {
    kNone,             // taken
    kNotPeer,          // from an address and port that is no peer's
    kMalformed,        // not a receipt or probe of a version this norvd knows
    kUnauthenticated,  // version 1, without a code, while the group has a key
    kNoKey,            // version 2 while this norvd has no key to check it
    kBadCode,          // its code is not the key's: forged or damaged
    kWrongMachine,     // names another sender than its address's, or another addressee
    kStale,            // its receipt is from before this norvd started
    kReplayed,         // its sequence number was taken already
    kTooOld,           // its sequence number is behind the window
    kOldEpoch,         // from an earlier start of its sender than one already heard
};

const char *drop_reason(PeerDrop drop);

// Messages read from the peer socket since norvd started, by fate.
struct PeerCounters {
    uint64_t accepted = 0;
    uint64_t notPeer = 0;
    uint64_t malformed = 0;
    uint64_t unauthenticated = 0;
    uint64_t noKey = 0;
    uint64_t badCode = 0;
    uint64_t wrongMachine = 0;
    uint64_t stale = 0;
    uint64_t replayed = 0;
    uint64_t tooOld = 0;
    uint64_t oldEpoch = 0;

    uint64_t dropped() const {
        return notPeer + malformed + unauthenticated + noKey + badCode + wrongMachine + stale +
               replayed + tooOld + oldEpoch;
    }
};

// Each counter's name as the log, norvctl and the metrics show it, in the
// order of PeerCounters.
struct PeerCounterName {
    const char *name;
    uint64_t PeerCounters::*field;
};
constexpr size_t kPeerCounterCount = 11;
extern const PeerCounterName kPeerCounterNames[kPeerCounterCount];

// One line: "accepted A, not-peer N, malformed N, ..." (every counter).
std::string describe(const PeerCounters &c);

class PeerMessages {
public:
    // Starting slack of the stale check: the group's clocks may stand this
    // far apart.
    static constexpr uint64_t kClockSlackNs = 1'000'000'000;

    // localId: this machine; key: the group's key, or none for version 1;
    // start: this start of norvd on the common clock, whose ns are its epoch
    // (larger than at any earlier start).
    PeerMessages(uint8_t localId, std::optional<GroupKey> key, CommonTime start);

    bool authenticated() const { return key_.has_value(); }
    uint64_t epoch() const { return epoch_; }

    // Writes the message that carries r to machine `to`, with this machine
    // as its sender (r.receiver), into buf (room for kMaxPeerMessage bytes);
    // returns its length.
    size_t seal(uint8_t to, const peer::Receipt &r, uint8_t *buf);
    // The same for a probe, whose sender and addressee it fills in.
    size_t seal(uint8_t to, const peer::Probe &p, uint8_t *buf);

    struct Opened {
        std::optional<peer::Receipt> receipt;  // when a receipt is taken
        std::optional<peer::Probe> probe;      // when a probe is taken
        PeerDrop drop = PeerDrop::kNone;
        // Taken, and the first message of a start of its sender (epoch).
        bool newEpoch = false;
        uint64_t epoch = 0;
    };

    // Judges a datagram of len bytes from the peer address of machine `from`
    // (-1: no peer's). started: this norvd's start in common time, now; a
    // receipt more than kClockSlackNs before it cannot be about a
    // registration of this start (it would be a message played again from
    // before norvd restarted, when no window remembers it).
    Opened open(int from, const uint8_t *buf, size_t len, CommonTime started);

    const PeerCounters &counters() const { return counters_; }
    // The messages from the address of machine m alone.
    const PeerCounters &counters(uint8_t m) const { return byMachine_[m % MAX_MACHINES]; }

private:
    Opened judge(int from, const uint8_t *buf, size_t len, CommonTime started);
    Opened drop(PeerDrop why);
    // Takes a version 2 message of its sender's numbering when it is new.
    Opened admit(uint8_t from, uint64_t epoch, uint64_t seq);
    void count(int from, PeerDrop drop);

    uint8_t localId_;
    std::optional<GroupKey> key_;
    uint64_t epoch_;
    uint64_t sent_[MAX_MACHINES] = {};  // messages sent to each machine in this epoch
    ReplayWindow windows_[MAX_MACHINES];
    PeerCounters counters_;
    PeerCounters byMachine_[MAX_MACHINES];
};

}  // namespace norvd

#endif  // NORVD_PEER_MESSAGES_H
