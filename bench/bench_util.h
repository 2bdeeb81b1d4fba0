// bench_util.h: what the benchmark programs share: pinning, the floor
// processes that a benchmark forks, loopback UDP sockets and medians.
#ifndef NORV_BENCH_UTIL_H
#define NORV_BENCH_UTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace norv::bench {

// CPU of the far end of every pair (norvd, NORVpong and the floor processes):
// NORV_BENCH_SERVER_CPU, set by scripts/bench; -1 leaves it unpinned. The
// benchmark process itself is pinned from outside (taskset).
inline int server_cpu() {
    const char *s = std::getenv("NORV_BENCH_SERVER_CPU");
    return s != nullptr && *s != '\0' ? std::atoi(s) : -1;
}

inline void pin_self(int cpu) {
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    (void)sched_setaffinity(0, sizeof set, &set);
}

// A child process running `body` on the server CPU; killed and reaped when
// the object goes. The body never returns.
class Child {
public:
    template <typename Body>
    explicit Child(Body body) {
        pid_ = fork();
        if (pid_ == 0) {
            pin_self(server_cpu());
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

}  // namespace norv::bench

#endif  // NORV_BENCH_UTIL_H
