// kill_cycles.cc: clients of norvd killed in every stage of their life, for
// norvd's end-to-end tests.
//
//   kill_cycles N     N cycles; cycle i runs stage i mod the number of stages
//
// Each cycle forks a client that goes as far as its stage, tells the driver
// through a pipe that it got there, and is killed with SIGKILL by the driver.
// The client talks to the devices directly, so that it can stop anywhere: on
// /dev/rtf1 before and during command 0, after it but before the answer is
// read, with a channel number but no device open, with one device open, and
// on a connection before, during and after a registration, a receipt, a
// clock read or its command 1.
//
// A connection whose client never opens its devices lives 10 s in norvd, and
// at most 64 connections live at once, so the stages that leave one are run
// only every kUnopenedEvery cycles; a refusal (-12) makes the driver wait and
// run the cycle again, for as long as a minute without a cycle done. Prints
// "cycles N stages S refused R unopened U".
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "norv.h"
#include "wire.h"

using namespace norv::wire;

namespace {

enum Stage {
    kOpenedConnectDevice,   // /dev/rtf1 open, nothing written
    kHalfConnect,           // 3 bytes of command 0
    kConnectUnread,         // command 0 written, answer not read
    kNumberNoDevice,        // answer read, no device opened
    kRequestOnly,           // request FIFO open, notice FIFO not
    kConnected,             // both open, nothing sent
    kHalfRegistration,      // head and 100 of the 184 payload bytes of command 9
    kRegistrationUnread,    // command 9 written, reply not read
    kRegistered,            // registration id read, the verdict still to come
    kReceiptUnread,         // registered, own receipt (command 10) written, reply not read
    kClockUnread,           // command 2 written, reply not read
    kDisconnectWritten,     // command 1 written, devices still open
    kStageCount
};

constexpr int kUnopenedEvery = 25;

// What a client reports to the driver: reached its stage, or was refused.
constexpr char kReached = 'R';
constexpr char kRefused = 'X';

int ready = -1;

[[noreturn]] void report(char what) {
    (void)!write(ready, &what, 1);
    for (;;) pause();
}

[[noreturn]] void die(const char *what) {
    fprintf(stderr, "kill_cycles: %s failed: %s\n", what, strerror(errno));
    _exit(3);
}

void write_all(int fd, const uint8_t *buf, size_t len, const char *what) {
    if (write(fd, buf, len) != static_cast<ssize_t>(len)) die(what);
}

void read_reply(int fd, uint8_t *buf, size_t len, const char *what) {
    if (read(fd, buf, len) != static_cast<ssize_t>(len)) die(what);
}

void head(uint8_t *buf, int32_t command, int32_t length) {
    put_i32le(buf, request::kCommand, command);
    put_i32le(buf, request::kLength, length);
}

std::string device(int n) { return "/dev/rtf" + std::to_string(n); }

// A registration of a send that machine 0 should receive within 20 ms, so
// that its verdict falls due while or after its client dies.
void registration(uint8_t *r, uint64_t start) {
    std::memset(r, 0, request::kHeadSize + register_send::kSize);
    head(r, command::kRegisterSend, register_send::kSize);
    uint8_t *p = r + request::kHeadSize;
    put_u64le(p, register_send::kStartStamp, start);
    put_u64le(p, register_send::kSecond, 20'000'000);
    put_u8(p, register_send::kValue8, 1);
}

[[noreturn]] void client(Stage stage) {
    int connectDev = open("/dev/rtf1", O_RDWR);
    if (connectDev < 0) die("open /dev/rtf1");
    uint8_t r[request::kHeadSize + register_send::kSize];
    head(r, command::kConnect, 0);
    if (stage == kOpenedConnectDevice) report(kReached);
    if (stage == kHalfConnect) {
        write_all(connectDev, r, 3, "write");
        report(kReached);
    }
    write_all(connectDev, r, request::kHeadSize, "write command 0");
    if (stage == kConnectUnread) report(kReached);
    uint8_t answer[8];
    read_reply(connectDev, answer, 4, "read of the channel number");
    int32_t n = get_i32le(answer, kReplyAnswer);
    close(connectDev);
    if (n < 0) report(kRefused);
    if (stage == kNumberNoDevice) report(kReached);
    int req = open(device(n).c_str(), O_RDWR);
    if (req < 0) die("open of the request FIFO");
    if (stage == kRequestOnly) report(kReached);
    int notices = open(device(n + 3).c_str(), O_RDWR);
    if (notices < 0) die("open of the notice FIFO");
    if (stage == kConnected) report(kReached);

    head(r, command::kTimestamp, 0);
    write_all(req, r, request::kHeadSize, "write command 2");
    if (stage == kClockUnread) report(kReached);
    read_reply(req, answer, 8, "read of the clock");
    uint64_t now = get_u64le(answer, 0);
    registration(r, now);
    if (stage == kHalfRegistration) {
        write_all(req, r, request::kHeadSize + 100, "write of half a registration");
        report(kReached);
    }
    write_all(req, r, sizeof r, "write command 9");
    if (stage == kRegistrationUnread) report(kReached);
    read_reply(req, answer, 4, "read of the registration id");
    int32_t id = get_i32le(answer, kReplyAnswer);
    if (id <= 0) {
        fprintf(stderr, "kill_cycles: registration refused (%d)\n", id);
        _exit(3);
    }
    if (stage == kRegistered) report(kReached);
    if (stage == kReceiptUnread) {
        head(r, command::kReceipt, receipt::kSize);
        uint8_t *p = r + request::kHeadSize;
        std::memset(p, 0, receipt::kSize);
        put_i32le(p, receipt::kRegistrationId, id);
        put_u64le(p, receipt::kReceiptTime, now + 1000);
        put_u8(p, receipt::kSender, 0);
        write_all(req, r, request::kHeadSize + receipt::kSize, "write command 10");
        report(kReached);
    }
    head(r, command::kDisconnect, 0);
    write_all(req, r, request::kHeadSize, "write command 1");
    report(kReached);
}

bool leaves_unopened(int stage) { return stage == kConnectUnread || stage == kNumberNoDevice; }

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2 || atoi(argv[1]) <= 0) {
        fprintf(stderr, "usage: kill_cycles N\n");
        return 2;
    }
    int cycles = atoi(argv[1]);
    int refused = 0, refusedInARow = 0, unopened = 0, next = 0;
    for (int i = 0; i < cycles;) {
        // Stages that leave a connection for 10 s run only now and then, in turn.
        int stage;
        if (i % kUnopenedEvery == 0) {
            stage = (i / kUnopenedEvery) % 2 == 0 ? kConnectUnread : kNumberNoDevice;
        } else {
            do {
                stage = next;
                next = (next + 1) % kStageCount;
            } while (leaves_unopened(stage));
        }
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) < 0) die("pipe2");
        pid_t pid = fork();
        if (pid < 0) die("fork");
        if (pid == 0) {
            close(pipe_fds[0]);
            ready = pipe_fds[1];
            alarm(60);  // a client that hangs fails the run instead of blocking it
            client(static_cast<Stage>(stage));
        }
        close(pipe_fds[1]);
        char what = 0;
        ssize_t got = read(pipe_fds[0], &what, 1);
        close(pipe_fds[0]);
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        if (got != 1) {
            fprintf(stderr, "kill_cycles: cycle %d: client of stage %d ended without reaching it (status %d)\n",
                    i, stage, WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
            return 1;
        }
        if (what == kRefused) {
            // Too many connections live: wait for norvd to reclaim some. How
            // fast it does depends on the machine; a minute without one is
            // no longer slowness.
            ++refused;
            if (++refusedInARow > 600) {
                fprintf(stderr, "kill_cycles: refused 600 times in a row, connections are not reclaimed\n");
                return 1;
            }
            usleep(100'000);
            continue;
        }
        refusedInARow = 0;
        if (leaves_unopened(stage)) ++unopened;
        ++i;
    }
    printf("cycles %d stages %d refused %d unopened %d\n", cycles, static_cast<int>(kStageCount),
           refused, unopened);
    return 0;
}
