// guard_keeper.cc: the keeper process and the guards it forks.
#include "io/guard_keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "io/log.h"

namespace norvd {
namespace {

// A guard's status as the keeper sends it: [0 token u32][4 status i32], host
// order (both ends are one build).
constexpr size_t kStatusSize = 8;

void reset_signals() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(s, SIG_DFL);
}

// Dies of the SIGHUP that the pty's hang-up sends its session leader, or
// with the keeper.
[[noreturn]] void run_guard(pid_t keeper, int slave, int ready) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != keeper) _exit(1);
    int status = 0;
    if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) < 0) status = errno;
    // No descriptor of the pty may stay here: it is closed before norvd
    // hears that the guard is ready, so that the last close of the slave is
    // over before norvd watches for its clients' closes.
    close(slave);
    (void)!write(ready, &status, sizeof status);
    close_range(0, ~0U, 0);
    if (status != 0) _exit(1);
    for (;;) pause();
}

int make_guard(int slave) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) < 0) return errno;
    pid_t self = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        int e = errno;
        close(ready[0]);
        close(ready[1]);
        return e;
    }
    if (pid == 0) run_guard(self, slave, ready[1]);
    close(ready[1]);
    int status = ECHILD;
    ssize_t r;
    do {
        r = read(ready[0], &status, sizeof status);
    } while (r < 0 && errno == EINTR);
    close(ready[0]);
    return r == static_cast<ssize_t>(sizeof status) ? status : ECHILD;
}

[[noreturn]] void run_keeper(pid_t norvd, int sock) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != norvd) _exit(1);
    reset_signals();
    signal(SIGCHLD, SIG_IGN);  // guards are reaped by the kernel
    if (sock > 0) close_range(0, static_cast<unsigned>(sock) - 1, 0);
    close_range(static_cast<unsigned>(sock) + 1, ~0U, 0);
    for (;;) {
        uint32_t token = 0;
        iovec iov{&token, sizeof token};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) _exit(0);  // norvd has gone
        int slave = -1;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
                std::memcpy(&slave, CMSG_DATA(c), sizeof slave);
        int status = slave < 0 ? EBADF : make_guard(slave);
        if (slave >= 0) close(slave);
        char record[kStatusSize];
        std::memcpy(record, &token, 4);
        std::memcpy(record + 4, &status, 4);
        if (send(sock, record, sizeof record, MSG_NOSIGNAL) < 0) _exit(0);
    }
}

}  // namespace

std::unique_ptr<GuardKeeper> GuardKeeper::start(std::string &error) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) < 0)
        return error = failed("socketpair"), nullptr;
    pid_t norvd = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        error = failed("fork");
        close(sv[0]);
        close(sv[1]);
        return nullptr;
    }
    if (pid == 0) run_keeper(norvd, sv[1]);
    close(sv[1]);
    std::unique_ptr<GuardKeeper> k(new GuardKeeper);
    k->socket_.reset(sv[0]);
    k->pid_ = pid;
    int flags = fcntl(sv[0], F_GETFL);
    if (flags < 0 || fcntl(sv[0], F_SETFL, flags | O_NONBLOCK) < 0) return error = failed("fcntl"), nullptr;
    return k;
}

GuardKeeper::~GuardKeeper() {
    socket_.reset();
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

bool GuardKeeper::request(uint32_t token, int slave) {
    if (gone_) return false;
    iovec iov{&token, sizeof token};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &slave, sizeof slave);
    ssize_t n;
    do {
        n = sendmsg(socket_.get(), &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno != EAGAIN) gone_ = true;
    return n == static_cast<ssize_t>(sizeof token);
}

bool GuardKeeper::take_status(uint32_t &token, int &status) {
    char record[kStatusSize];
    ssize_t n;
    do {
        n = recv(socket_.get(), record, sizeof record, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n == 0 || (n < 0 && errno != EAGAIN)) gone_ = true;
    if (n != static_cast<ssize_t>(kStatusSize)) return false;
    std::memcpy(&token, record, 4);
    std::memcpy(&status, record + 4, 4);
    return true;
}

bool GuardKeeper::wait_for(uint32_t token, int &status) {
    for (;;) {
        uint32_t got;
        if (take_status(got, status)) {
            if (got == token) return true;
            continue;
        }
        if (gone_) return false;
        pollfd p{socket_.get(), POLLIN, 0};
        if (poll(&p, 1, 5000) == 0) return false;
    }
}

}  // namespace norvd
