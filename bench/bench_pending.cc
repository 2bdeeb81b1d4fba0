// bench_pending.cc: norvd's CPU time per registered send while many
// registrations are pending. scripts/bench-pending starts norvd in private
// namespaces (with machine 1 in its group, served by nobody) and runs this
// program there; it is not a test and nothing in it can fail a build.
//
//   bench_pending NORVD_PID PENDING SENDS
//
// Registers PENDING - 1 sends for machine 1 with a deadline ten minutes
// away: they stay pending. Then SENDS times, as a sender and its receiver
// would: reads the clock, registers a send for machine 0 (this machine),
// reports its receipt (command 10), which completes it, and reads its notice.
// So the table holds PENDING registrations while each send is judged. Prints
// norvd's CPU time (utime + stime of /proc/NORVD_PID/stat) over the SENDS,
// per send.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "channel_io.h"
#include "norv.h"
#include "wire.h"

using namespace norv;
using namespace norv::wire;

namespace {

int requestFd = -1, noticeFd = -1;

int32_t register_send_for(uint8_t machines, uint64_t start, uint64_t deadline) {
    Exchange<command::kRegisterSend> x;
    uint8_t *p = x.payload();
    put_u64le(p, register_send::kStartStamp, start);
    put_u64le(p, register_send::kSecond, deadline);
    put_u8(p, register_send::kValue8, machines);
    put_name(p, register_send::kModuleName, "bench", register_send::kNameWidth);
    if (x.run(requestFd) < 0) return -1;
    return get_i32le(x.reply.data(), 0);
}

// utime + stime of a process, in clock ticks; -1 when it cannot be read.
long long cpu_ticks(const char *pid) {
    std::string path = std::string("/proc/") + pid + "/stat";
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    // The command name may hold spaces: the fields start after its ')'.
    const char *p = strrchr(buf, ')');
    if (p == nullptr) return -1;
    unsigned long long utime = 0, stime = 0;
    // Fields 3 to 13 are skipped; 14 and 15 are utime and stime.
    if (sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return static_cast<long long>(utime + stime);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4 || atoi(argv[2]) < 1 || atoi(argv[3]) < 1) {
        fprintf(stderr, "usage: bench_pending NORVD_PID PENDING SENDS\n");
        return 2;
    }
    const char *pid = argv[1];
    int pending = atoi(argv[2]), sends = atoi(argv[3]);
    if (openNORVConnection(&requestFd, &noticeFd) != 0) {
        fprintf(stderr, "bench_pending: no connection to norvd\n");
        return 1;
    }
    for (int i = 1; i < pending; ++i) {
        int32_t id = register_send_for(0x02, getNORVTimestamp(requestFd), 600'000'000'000);
        if (id <= 0) {
            printf("pending %d: refused (%d) with %d pending\n", pending, id, i - 1);
            closeNORVConnection(requestFd, noticeFd);  // takes them along at once
            return 0;
        }
    }
    long long before = cpu_ticks(pid);
    for (int i = 0; i < sends; ++i) {
        uint64_t start = getNORVTimestamp(requestFd);
        int32_t id = register_send_for(0x01, start, 1'000'000'000);
        uint8_t notice[NORV_FAILURE_NOTICE_SIZE];
        if (id <= 0 || notify_norv_of_receipt(requestFd, 0, id, start + 1000) != 0 ||
            NORVwaitInfo(noticeFd, notice) != 0) {
            fprintf(stderr, "bench_pending: send %d failed (registration %d)\n", i, id);
            return 1;
        }
    }
    long long after = cpu_ticks(pid);
    if (before < 0 || after < 0) {
        fprintf(stderr, "bench_pending: cannot read /proc/%s/stat\n", pid);
        return 1;
    }
    double ms = static_cast<double>(after - before) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    printf("pending %d: %d sends, norvd CPU %.0f ms, %.1f us per send\n", pending, sends, ms,
           ms * 1000.0 / sends);
    closeNORVConnection(requestFd, noticeFd);
    return 0;
}
