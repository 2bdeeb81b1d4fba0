// replay_window.cc: the sliding window of accepted sequence numbers.
#include "core/replay_window.h"

namespace norvd {

ReplayWindow::Verdict ReplayWindow::admit(uint64_t epoch, uint64_t seq) {
    if (!heard_ || epoch > epoch_) {
        heard_ = true;
        epoch_ = epoch;
        highest_ = seq;
        seen_ = 1;
        return Verdict::kNewEpoch;
    }
    if (epoch < epoch_) return Verdict::kOldEpoch;
    if (seq > highest_) {
        uint64_t shift = seq - highest_;
        seen_ = shift >= kWidth ? 0 : seen_ << shift;
        seen_ |= 1;
        highest_ = seq;
        return Verdict::kNew;
    }
    uint64_t below = highest_ - seq;
    if (below >= kWidth) return Verdict::kTooOld;
    uint64_t bit = uint64_t{1} << below;
    if (seen_ & bit) return Verdict::kDuplicate;
    seen_ |= bit;
    return Verdict::kNew;
}

}  // namespace norvd
