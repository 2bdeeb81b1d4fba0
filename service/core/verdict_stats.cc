// verdict_stats.cc: counting the verdicts of each machine, and reading their
// latenesses back.
#include "core/verdict_stats.h"

#include "core/registrations.h"

namespace norvd {

int32_t LatenessBuckets::middle(size_t b) {
    bool negative = b < kPerSign;
    size_t i = negative ? kPerSign - 1 - b : b - kPerSign;
    uint32_t m;
    if (i < kExact) {
        m = static_cast<uint32_t>(i);
    } else {
        size_t octave = (i - kExact) / kExact;  // the bucket's width is 2^octave
        uint32_t lowest = static_cast<uint32_t>(kExact + (i - kExact) % kExact) << octave;
        m = lowest + ((1u << octave) - 1) / 2;
    }
    return negative ? -static_cast<int32_t>(m) : static_cast<int32_t>(m);
}

namespace {

template <typename Count>
LatenessSummary summarise(const LatenessSketch<Count> &s) {
    LatenessSummary out;
    out.count = s.count();
    out.sumUs = s.sum_us();
    out.median = s.quantile(0.5);
    out.p99 = s.quantile(0.99);
    out.max = s.max();
    return out;
}

void add_counts(VerdictCounts &to, const VerdictCounts &from) {
    to.timely += from.timely;
    to.late += from.late;
    to.unknown += from.unknown;
    to.undecidable += from.undecidable;
}

}  // namespace

VerdictStats::VerdictStats(uint8_t groupMask, BaseTime start) : group_(groupMask), start_(start) {
    for (size_t m = 0; m < MAX_MACHINES; ++m)
        if (group_ & (1u << m)) machines_[m] = std::make_unique<Machine>();
}

void VerdictStats::count(const FailureNotice &notice, uint8_t undecidable, BaseTime now) {
    uint64_t index = step_of(now);
    for (size_t m = 0; m < MAX_MACHINES; ++m) {
        const MachineVerdict &v = notice.verdicts[m];
        Machine *machine = machines_[m].get();
        if (machine == nullptr || v.status == kNothingToReport) continue;
        Step &step = machine->steps[index % machine->steps.size()];
        if (step.index != index) {
            step.counts = VerdictCounts{};
            step.lateness.clear();
            step.index = index;
        }
        uint64_t VerdictCounts::*kind = v.status == kTimely      ? &VerdictCounts::timely
                                        : v.latenessKnown == 1 ? &VerdictCounts::late
                                                               : &VerdictCounts::unknown;
        ++(machine->counts.*kind);
        ++(step.counts.*kind);
        if (v.latenessKnown == 1 && (undecidable & (1u << m))) {
            ++machine->counts.undecidable;
            ++step.counts.undecidable;
        }
        if (v.latenessKnown == 1) {
            machine->lateness.add(v.lateness);
            step.lateness.add(v.lateness);
        }
    }
}

MachineVerdicts VerdictStats::machine(uint8_t m, BaseTime now) const {
    MachineVerdicts out;
    out.machine = m;
    const Machine *machine = m < MAX_MACHINES ? machines_[m].get() : nullptr;
    if (machine == nullptr) return out;
    out.sinceStart = machine->counts;
    out.sinceStartLateness = summarise(machine->lateness);
    uint64_t index = step_of(now);
    LatenessSketch<uint64_t> minute;
    for (const Step &step : machine->steps) {
        if (step.index == UINT64_MAX || step.index > index || index - step.index > kMinuteSteps) continue;
        add_counts(out.lastMinute, step.counts);
        minute.merge(step.lateness);
    }
    out.lastMinuteLateness = summarise(minute);
    return out;
}

}  // namespace norvd
