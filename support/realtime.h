// realtime.h: running a program's time-critical thread at a real-time
// priority, with its memory locked, for norvd and NORVpong.
//
// The calling thread gets SCHED_FIFO at the priority given, with
// SCHED_RESET_ON_FORK: every thread it starts afterwards and every process it
// forks run at ordinary priority, so blocking work off the time-critical path
// (look-ups, name resolution, file writes, helper processes) never holds a
// CPU at real-time priority. The memory mapped now is locked and faulted in
// (the code and the libraries included); memory mapped later is locked as it
// is first touched, so that a thread's stack costs only what it uses.
#ifndef NORV_SUPPORT_REALTIME_H
#define NORV_SUPPORT_REALTIME_H

#include <sched.h>
#include <sys/mman.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

namespace norv {

// The priorities SCHED_FIFO takes.
constexpr int kRealtimeLowest = 1;
constexpr int kRealtimeHighest = 99;

// Parses a priority from 1 to 99; false for anything else.
inline bool parse_realtime_priority(std::string_view text, int &priority) {
    int v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (v < kRealtimeLowest || v > kRealtimeHighest) return false;
    priority = v;
    return true;
}

// Locks the memory and puts the calling thread at SCHED_FIFO `priority`.
// Returns "" or what failed and what the process lacks.
inline std::string go_realtime(int priority) {
    const std::string what = "real-time priority " + std::to_string(priority) + ": ";
    if (mlockall(MCL_CURRENT) != 0 || mlockall(MCL_FUTURE | MCL_ONFAULT) != 0)
        return what + "mlockall failed: " + std::strerror(errno) +
               " (needs CAP_IPC_LOCK, or a memory lock limit above the process's size: "
               "LimitMEMLOCK=infinity in a systemd unit)";
    sched_param param{};
    param.sched_priority = priority;
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) != 0) {
        std::string why = std::strerror(errno);
        munlockall();
        return what + "sched_setscheduler failed: " + why + " (needs CAP_SYS_NICE, or a real-time " +
               "priority limit of at least " + std::to_string(priority) + ": LimitRTPRIO= in a systemd unit)";
    }
    return "";
}

}  // namespace norv

#endif  // NORV_SUPPORT_REALTIME_H
