// replay_window.h: which authenticated messages of one sender are new.
//
// A sender numbers its messages from 1 at each start (its epoch, which grows
// from one start to the next). The receiver remembers the highest number
// accepted in the sender's latest epoch and which of the kWidth numbers
// below it were accepted too, as IPsec does: a message that the network
// reordered within that window still counts once, a copy never does, and a
// message from before the window or from an earlier start is refused. No I/O:
// the caller has checked the message's code before it asks.
#ifndef NORVD_REPLAY_WINDOW_H
#define NORVD_REPLAY_WINDOW_H

#include <cstdint>

namespace norvd {

class ReplayWindow {
public:
    static constexpr uint64_t kWidth = 64;

    enum class Verdict {
        kNewEpoch,   // the first message heard of a start (of any start, at first): accepted
        kNew,        // accepted
        kDuplicate,  // this number was accepted already
        kTooOld,     // kWidth or more below the highest accepted
        kOldEpoch,   // from an earlier start than the latest heard
    };

    // Judges (epoch, seq) and remembers it when accepted.
    Verdict admit(uint64_t epoch, uint64_t seq);

    bool heard() const { return heard_; }
    uint64_t epoch() const { return epoch_; }

private:
    bool heard_ = false;
    uint64_t epoch_ = 0;
    uint64_t highest_ = 0;
    uint64_t seen_ = 0;  // bit i: highest_ - i was accepted
};

inline bool accepted(ReplayWindow::Verdict v) {
    return v == ReplayWindow::Verdict::kNew || v == ReplayWindow::Verdict::kNewEpoch;
}

}  // namespace norvd

#endif  // NORVD_REPLAY_WINDOW_H
