// verdict_stats.h: what this norvd's verdicts said of each machine of the
// group, since start and over the last minute, for norvctl and the metrics
// file.
//
// Each verdict on a machine counts as timely, late (a lateness known) or
// unknown (no receipt by the deadline plus grace); a timely or late one whose
// receipt the clocks cannot place on one side of the deadline also counts as
// undecidable. The latenesses that the
// notices carry (microseconds, receipt minus deadline: 0 or negative when
// timely, positive when late) go into a log-bucketed histogram, from which the
// median and the 99th percentile are read with a bounded relative error; the
// smallest and the largest are kept exactly, and no quantile lies beyond
// them. Memory is fixed: nothing here grows with the number of verdicts, and
// counting one costs a few increments.
#ifndef NORVD_VERDICT_STATS_H
#define NORVD_VERDICT_STATS_H

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/times.h"
#include "norv.h"

namespace norvd {

// The bucket of each value of a signed 32-bit lateness. Magnitudes below 32
// have a bucket each; above, each power of two [2^e, 2^(e+1)) is cut into 32
// buckets of width 2^(e-5). A bucket's width is then at most 1/32 of the
// smallest magnitude in it, and its middle lies within 1/64 of every value in
// it: the relative error of a quantile read from the buckets.
struct LatenessBuckets {
    static constexpr int kSubBits = 5;
    static constexpr uint32_t kExact = 1u << kSubBits;
    // Magnitudes up to 2^31 - 1: octaves e = 5 .. 30 above the exact ones.
    static constexpr size_t kPerSign = kExact + (31 - kSubBits) * kExact;
    static constexpr size_t kCount = 2 * kPerSign;

    // The bucket of v, in the order of the values: the most negative first.
    // v is taken within -INT32_MAX .. INT32_MAX (the range of a lateness).
    static size_t of(int32_t v) {
        if (v >= 0) return kPerSign + magnitude(static_cast<uint32_t>(v));
        uint32_t m = v == INT32_MIN ? static_cast<uint32_t>(INT32_MAX) : static_cast<uint32_t>(-v);
        return kPerSign - 1 - magnitude(m);
    }
    // The value that stands for bucket b: the middle of its values, rounded
    // toward zero.
    static int32_t middle(size_t b);

private:
    static size_t magnitude(uint32_t m) {
        if (m < kExact) return m;
        int e = 31 - std::countl_zero(m);
        int shift = e - kSubBits;
        return kExact + static_cast<size_t>(shift) * kExact + ((m >> shift) & (kExact - 1));
    }
};

// The latenesses seen: a histogram over LatenessBuckets with counts of type
// Count, their number, their sum, the smallest and the largest.
template <typename Count>
class LatenessSketch {
public:
    void add(int32_t us) {
        ++counts_[LatenessBuckets::of(us)];
        ++n_;
        sumUs_ += us;
        if (!min_ || us < *min_) min_ = us;
        if (!max_ || us > *max_) max_ = us;
    }
    template <typename Other>
    void merge(const LatenessSketch<Other> &o) {
        for (size_t b = 0; b < LatenessBuckets::kCount; ++b) counts_[b] += o.bucket(b);
        n_ += o.count();
        sumUs_ += o.sum_us();
        if (o.min() && (!min_ || *o.min() < *min_)) min_ = o.min();
        if (o.max() && (!max_ || *o.max() > *max_)) max_ = o.max();
    }
    void clear() { *this = LatenessSketch(); }

    uint64_t count() const { return n_; }
    int64_t sum_us() const { return sumUs_; }
    std::optional<int32_t> min() const { return min_; }
    std::optional<int32_t> max() const { return max_; }
    Count bucket(size_t b) const { return counts_[b]; }

    // The q-quantile (0 < q <= 1) by the nearest rank: the value of rank
    // ceil(q * n) among the n values in increasing order, read as the middle
    // of its bucket, so within 1/64 of its magnitude. A bucket's middle may lie
    // beyond the values seen (a lone 1024 reads 1039): it is held to the exact
    // smallest and largest. Nothing while empty.
    std::optional<int32_t> quantile(double q) const {
        if (n_ == 0) return std::nullopt;
        double want = q * static_cast<double>(n_);
        uint64_t rank = static_cast<uint64_t>(want);
        if (static_cast<double>(rank) < want) ++rank;
        if (rank < 1) rank = 1;
        if (rank > n_) rank = n_;
        uint64_t seen = 0;
        for (size_t b = 0; b < LatenessBuckets::kCount; ++b) {
            seen += counts_[b];
            if (seen >= rank) return std::clamp(LatenessBuckets::middle(b), *min_, *max_);
        }
        return max_;
    }

private:
    std::array<Count, LatenessBuckets::kCount> counts_{};
    uint64_t n_ = 0;
    int64_t sumUs_ = 0;  // 2^31 us at most each: 2^32 of the largest before it wraps
    std::optional<int32_t> min_, max_;
};

struct VerdictCounts {
    uint64_t timely = 0;
    uint64_t late = 0;     // a timing failure with its lateness known
    uint64_t unknown = 0;  // a timing failure without receipt: lateness unknown
    uint64_t undecidable = 0;  // of the timely and late: undecidable by the clocks
};

// The latenesses of a stretch of time, as shown.
struct LatenessSummary {
    uint64_t count = 0;  // verdicts with a lateness (timely and late)
    int64_t sumUs = 0;
    std::optional<int32_t> median, p99, max;
};

// One machine's verdicts since start and over the last minute.
struct MachineVerdicts {
    uint8_t machine = 0;
    VerdictCounts sinceStart, lastMinute;
    LatenessSummary sinceStartLateness, lastMinuteLateness;
};

class VerdictStats {
public:
    // The last minute is counted in steps of 10 s: the current step and the
    // six before it, so between 60 and 70 s of verdicts.
    static constexpr uint64_t kStepNs = 10'000'000'000;
    static constexpr size_t kMinuteSteps = 6;

    // groupMask: bit i for machine i of the group (verdicts on the others
    // have nothing to report). start: base time of norvd's start.
    VerdictStats(uint8_t groupMask, BaseTime start);

    // Counts the verdicts of one notice, judged at base time `now`; bit i of
    // `undecidable`: machine i's verdict is undecidable by the clocks.
    void count(const FailureNotice &notice, uint8_t undecidable, BaseTime now);

    // Machine m's verdicts as of `now` (nothing counted for a machine outside
    // the group).
    MachineVerdicts machine(uint8_t m, BaseTime now) const;
    uint8_t group() const { return group_; }

private:
    struct Step {
        uint64_t index = UINT64_MAX;  // which 10 s since start it counts
        VerdictCounts counts;
        LatenessSketch<uint32_t> lateness;
    };
    struct Machine {
        VerdictCounts counts;
        LatenessSketch<uint64_t> lateness;
        std::array<Step, kMinuteSteps + 1> steps;  // by index modulo their number
    };

    uint64_t step_of(BaseTime now) const { return now > start_ ? (now - start_) / kStepNs : 0; }

    uint8_t group_;
    BaseTime start_;
    std::array<std::unique_ptr<Machine>, MAX_MACHINES> machines_;
};

}  // namespace norvd

#endif  // NORVD_VERDICT_STATS_H
