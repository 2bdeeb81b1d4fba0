// bench_util.h: what the benchmark programs share: pinning, the floor
// processes that a benchmark forks, loopback UDP sockets, medians and
// quantiles, and what /proc tells of another process (CPU time, memory).
#ifndef NORV_BENCH_UTIL_H
#define NORV_BENCH_UTIL_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace norv::bench {

// CPU of the far end of every pair (norvd, NORVpong and the floor processes):
// NORV_BENCH_SERVER_CPU, set by scripts/bench; -1 leaves it unpinned. The
// benchmark process itself is pinned from outside (taskset).
inline int server_cpu() {
    const char *s = std::getenv("NORV_BENCH_SERVER_CPU");
    return s != nullptr && *s != '\0' ? std::atoi(s) : -1;
}

inline void pin_task(pid_t tid, int cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)sched_setaffinity(tid, sizeof set, &set);
}

inline void pin_self(int cpu) { pin_task(0, cpu); }

// The thread ids of a process (/proc/PID/task).
inline std::vector<pid_t> tasks_of(pid_t pid) {
    std::vector<pid_t> out;
    std::string path = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) return out;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] >= '0' && e->d_name[0] <= '9') out.push_back(static_cast<pid_t>(atoi(e->d_name)));
    closedir(dir);
    return out;
}

// Pins every thread of another process (norvd: its loop and its helper
// threads) to one CPU.
inline void pin_process(pid_t pid, int cpu) {
    for (pid_t tid : tasks_of(pid)) pin_task(tid, cpu);
}

// A child process running `body` on CPU `cpu` (by default the server CPU);
// killed and reaped when the object goes. The body never returns.
class Child {
public:
    template <typename Body>
    explicit Child(Body body, int cpu = server_cpu()) {
        pid_ = fork();
        if (pid_ == 0) {
            pin_self(cpu);
            body();
            _exit(0);
        }
    }
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    bool ok() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

// A UDP socket bound to 127.0.0.1 on a port of the system's choice; its
// address in *address. -1 on failure.
inline int loopback_udp(sockaddr_in *address) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) < 0) {
        close(fd);
        return -1;
    }
    if (address != nullptr) *address = a;
    return fd;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

// The q-quantile (0 <= q <= 1) of the values, by the nearest rank.
inline double quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    size_t rank = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(rank), v.end());
    return v[rank];
}

// The whole contents of a small file of /proc ("" when it cannot be read).
inline std::string read_proc(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) return "";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    return text;
}

// CPU time a process has used, all its threads, in ns; -1 when it cannot be
// read. The kernel's utime + stime are this run time split by sampling and
// rounded to clock ticks; schedstat's first field is the run time itself, to
// the ns, which a figure of a few microseconds per operation needs.
inline double process_cpu_ns(pid_t pid) {
    std::vector<pid_t> tasks = tasks_of(pid);
    double total = 0;
    bool all = !tasks.empty();
    for (pid_t tid : tasks) {
        std::string s = read_proc("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat");
        if (s.empty()) {
            all = false;
            break;
        }
        total += strtod(s.c_str(), nullptr);
    }
    if (all) return total;
    // Without schedstat: utime + stime of /proc/PID/stat, in clock ticks. The
    // command name may hold spaces: the fields start after its ')'.
    std::string stat = read_proc("/proc/" + std::to_string(pid) + "/stat");
    const char *p = strrchr(stat.c_str(), ')');
    unsigned long long utime = 0, stime = 0;
    // Fields 3 to 13 are skipped; 14 and 15 are utime and stime.
    if (p == nullptr ||
        sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) * 1e9 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Proportional set size of a process in kB (/proc/PID/smaps_rollup): pages
// shared with other processes count in part, so the figures of a process
// and of its children add up. 0 when it cannot be read.
inline double pss_kb(pid_t pid) {
    std::string s = read_proc("/proc/" + std::to_string(pid) + "/smaps_rollup");
    size_t at = s.find("\nPss:");
    return at == std::string::npos ? 0 : strtod(s.c_str() + at + 5, nullptr);
}

// The processes whose parent is `parent` (a scan of /proc).
inline std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> out;
    DIR *dir = opendir("/proc");
    if (dir == nullptr) return out;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        std::string stat = read_proc(std::string("/proc/") + e->d_name + "/stat");
        const char *p = strrchr(stat.c_str(), ')');
        int ppid = 0;
        if (p != nullptr && sscanf(p + 1, " %*c %d", &ppid) == 1 && ppid == parent)
            out.push_back(static_cast<pid_t>(atoi(e->d_name)));
    }
    closedir(dir);
    return out;
}

}  // namespace norv::bench

#endif  // NORV_BENCH_UTIL_H
