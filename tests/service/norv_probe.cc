// norv_probe.cc: a client of the control channel for norvd's end-to-end
// tests. It uses the access library as programs do, and for registrations and
// receipts it writes the requests itself, so that a test can choose receipt
// times and repeat receipts.
//
//   norv_probe cycles N          N times: connect, read id and clock, disconnect
//   norv_probe timeliness        commands 4 to 8, one line per answer
//   norv_probe verdict MODE      register a send for machines 0..4; MODE
//                                timely|late|missing says what receipt to
//                                report; prints the notice
//   norv_probe flood N           register N sends that no machine receives
//                                (1 ns deadline), never read the notices, wait
//   norv_probe backlog N         register N sends for machine 1 alone (1 ms
//                                deadline) and print their ids; read nothing
//                                until SIGUSR1, then read N notices and print
//                                their ids, and count the notices that follow
//                                within half a second
//   norv_probe hold              connect and wait to be killed
//   norv_probe pending N [S]     read the clock once, register N sends for
//                                machine 0 alone with a deadline S seconds
//                                (60 by default) away (N + 1 requests), print
//                                "registered N", and wait to be killed; at a
//                                refusal print "registration I refused: R"
//                                and exit 1
//   norv_probe exchanges N ID    connect, print the ptys of the channel, then N
//                                times read the machine id (must be ID) and the
//                                clock (must never go back nor run ahead of
//                                this machine's); prints the count
//                                of wrong answers and stays connected 1 s more
#include <poll.h>
//   norv_probe latency N         time N clock reads (command 2), one after the
//                                other; prints "latency N p50_us P p99_us Q
//                                max_us M" (a figure for scripts, never a test)
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "channel_io.h"
#include "norv.h"
#include "wire.h"

using namespace norv;
using namespace norv::wire;

namespace {

int req = -1, notices = -1;

void connect_or_die() {
    int rc = openNORVConnection(&req, &notices);
    if (rc != 0) {
        fprintf(stderr, "openNORVConnection: %d\n", rc);
        exit(1);
    }
}

int32_t register_ping(uint64_t start, uint8_t machines, uint64_t deadline) {
    Exchange<command::kRegisterSend> x;
    uint8_t *p = x.payload();
    put_u64le(p, register_send::kStartStamp, start);
    put_u64le(p, register_send::kFirst, 490);
    put_u64le(p, register_send::kSecond, deadline);
    put_u8(p, register_send::kValue8, machines);
    put_i32le(p, register_send::kValue32, NORV_PING_PORT);
    put_name(p, register_send::kModuleName, "probe", register_send::kNameWidth);
    if (x.run(req) < 0) exit(1);
    return get_i32le(x.reply.data(), 0);
}

// The node a descriptor of the access library is open on: /dev/pts/K for a
// pty, the file of norvd's FUSE file system otherwise; "?" when unknown.
std::string node_of(int fd) {
    if (const char *tty = ttyname(fd)) return tty;
    char target[256];
    ssize_t len = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    return len > 0 ? std::string(target, static_cast<size_t>(len)) : "?";
}

uint64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

int print_notice() {
    alarm(60);  // a notice that never comes fails the test instead of hanging it
    uint8_t buf[notice::kSize];
    if (NORVwaitInfo(notices, buf) != 0) return 1;
    FailureNotice n = decode_failure_notice(buf);
    printf("notice sender %u seq %u\n", n.sender, n.seq);
    for (int i = 0; i < MAX_MACHINES; ++i)
        printf("machine %d status %u known %u lateness %d\n", i, n.verdicts[i].status,
               n.verdicts[i].latenessKnown, n.verdicts[i].lateness);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "cycles" && argc == 3) {
        int n = atoi(argv[2]);
        for (int i = 0; i < n; ++i) {
            connect_or_die();
            if (getNORVid(req) < 0 || getNORVTimestamp(req) >> 63) return 1;
            if (closeNORVConnection(req, notices) != 0) return 1;
        }
        printf("cycles %d\n", n);
        return 0;
    }
    if (mode == "timeliness") {
        connect_or_die();
        ActivityNames names{};
        strcpy(names.moduleName, "probe");
        int m = startNORVMeasurement(req, 7);
        uint64_t first = 0, second = 0;
        int e = endNORVMeasurement(req, m, &first, &second);
        printf("measurement handle %d end %d start %" PRIu64 " duration %" PRIu64 "\n", m, e,
               first, second);
        printf("unknown measurement end %d\n", endNORVMeasurement(req, 999999, &first, &second));
        // The deadline is 5 ms after norvd's clock when it took the request:
        // between a clock read before and one after, however long each took.
        uint64_t before = getNORVTimestamp(req);
        uint64_t deadline = startNORVExec(req, 5000000, 1, 2, names, "text");
        uint64_t after = getNORVTimestamp(req);
        printf("exec deadline less 5 ms: %" PRId64 " ns after the clock before, %" PRId64
               " ns before the clock after\n",
               static_cast<int64_t>(deadline - 5000000 - before),
               static_cast<int64_t>(after + 5000000 - deadline));
        uint8_t byte = 9;
        // A limit of a minute: ended at once, it is met on any machine.
        int fd = startNORVlocalFD(req, 60'000'000'000, 0, 0, names);
        int end = endNORVlocalFD(req, fd, &first, &second, &byte);
        printf("localfd handle %d end %d failed %u\n", fd, end, byte);
        fd = startNORVlocalFD(req, 1, 0, 0, names);
        usleep(2000);
        end = endNORVlocalFD(req, fd, &first, &second, &byte);
        printf("localfd handle %d end %d failed %u\n", fd, end, byte);
        printf("unknown localfd end %d\n", endNORVlocalFD(req, fd, &first, &second, &byte));
        closeNORVConnection(req, notices);
        return 0;
    }
    if (mode == "verdict" && argc == 3) {
        std::string how = argv[2];
        connect_or_die();
        // A receipt is taken until 100 ms past the deadline. With a 2 ms
        // deadline a busy machine could let that pass between the
        // registration and the receipt, so the receipts report times on
        // either side of a deadline a minute away; the notice comes as soon
        // as machine 0, the only one of the group, has reported.
        const uint64_t deadline = how == "missing" ? 2'000'000 : 60'000'000'000;
        uint64_t start = getNORVTimestamp(req);
        int32_t id = register_ping(start, 31, deadline);
        printf("registration %d\n", id);
        if (id <= 0) return 1;
        if (how == "timely" || how == "late") {
            uint64_t at = how == "timely" ? start + 1000 : start + deadline + 5000000;
            printf("receipt %d\n", notify_norv_of_receipt(req, 0, id, at));
            printf("receipt again %d\n", notify_norv_of_receipt(req, 0, id, at));
        }
        int rc = print_notice();
        closeNORVConnection(req, notices);
        return rc;
    }
    if (mode == "pending" && (argc == 3 || argc == 4)) {
        connect_or_die();
        int n = atoi(argv[2]);
        uint64_t deadline = (argc == 4 ? strtoull(argv[3], nullptr, 10) : 60) * 1'000'000'000;
        uint64_t start = getNORVTimestamp(req);
        for (int i = 0; i < n; ++i) {
            int32_t id = register_ping(start, 1, deadline);
            if (id <= 0) {
                printf("registration %d refused: %d\n", i + 1, id);
                return 1;
            }
        }
        printf("registered %d\n", n);
        pause();
        return 0;
    }
    if (mode == "flood" && argc == 3) {
        connect_or_die();
        int n = atoi(argv[2]);
        for (int i = 0; i < n; ++i) {
            if (register_ping(getNORVTimestamp(req), 1, 1) <= 0) return 1;
        }
        printf("registered %d\n", n);
        pause();
        return 0;
    }
    if (mode == "exchanges" && argc == 4) {
        int n = atoi(argv[2]);
        int id = atoi(argv[3]);
        connect_or_die();
        std::string requestPty = node_of(req);
        printf("ptys %s %s\n", requestPty.c_str(), node_of(notices).c_str());
        int wrong = 0;
        uint64_t last = 0, lastMine = 0;
        for (int i = 0; i < n; ++i) {
            timespec ts{};
            clock_gettime(CLOCK_MONOTONIC, &ts);
            uint64_t mine = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
            int got = getNORVid(req);
            uint64_t clock = getNORVTimestamp(req);
            // The service clock never goes back, and between two readings it
            // advances about as much as this machine's clock (a second of
            // slack for drift and scheduling).
            bool sane = clock >> 63 == 0 && (i == 0 || (clock >= last && clock - last <= mine - lastMine + 1000000000));
            if (got != id || !sane) ++wrong;
            last = clock;
            lastMine = mine;
        }
        printf("exchanges %d wrong %d\n", n, wrong);
        sleep(1);
        return closeNORVConnection(req, notices) == 0 && wrong == 0 ? 0 : 1;
    }
    if (mode == "backlog" && argc == 3) {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_BLOCK, &usr1, nullptr);
        connect_or_die();
        int n = atoi(argv[2]);
        for (int i = 0; i < n; ++i) {
            int32_t id = register_ping(getNORVTimestamp(req), 0x02, 1000000);
            if (id <= 0) {
                printf("registration refused: %d\n", id);
                return 1;
            }
            printf("registered %d\n", id);
        }
        printf("registered all %d\n", n);
        int sig;
        sigwait(&usr1, &sig);
        alarm(60);
        uint8_t buf[notice::kSize];
        for (int i = 0; i < n; ++i) {
            if (NORVwaitInfo(notices, buf) != 0) return 1;
            FailureNotice f = decode_failure_notice(buf);
            // Machine 1 never reports: lateness unknown; the others are not expected.
            bool expected = f.sender == 0 && f.verdicts[1].status == 1 && f.verdicts[1].latenessKnown == 0;
            for (int m : {0, 2, 3, 4}) expected = expected && f.verdicts[m].status == 2;
            if (expected) {
                printf("notice %u\n", f.seq);
            } else {
                printf("unexpected notice %u:", f.seq);
                for (uint8_t b : buf) printf(" %02x", b);
                printf("\n");
            }
        }
        int extra = 0;
        pollfd p{notices, POLLIN, 0};
        while (poll(&p, 1, 500) == 1 && NORVwaitInfo(notices, buf) == 0) ++extra;
        printf("extra notices %d\n", extra);
        closeNORVConnection(req, notices);
        return 0;
    }
    if (mode == "latency" && argc == 3) {
        int n = atoi(argv[2]);
        if (n <= 0) return 2;
        connect_or_die();
        std::vector<uint64_t> ns(static_cast<size_t>(n));
        for (uint64_t &d : ns) {
            uint64_t t0 = monotonic_ns();
            if (getNORVTimestamp(req) >> 63) return 1;
            d = monotonic_ns() - t0;
        }
        closeNORVConnection(req, notices);
        std::sort(ns.begin(), ns.end());
        auto at = [&](double q) { return ns[static_cast<size_t>(q * (ns.size() - 1))] / 1e3; };
        printf("latency %d p50_us %.1f p99_us %.1f max_us %.1f\n", n, at(0.5), at(0.99), at(1.0));
        return 0;
    }
    if (mode == "hold") {
        connect_or_die();
        printf("connected\n");
        pause();
        return 0;
    }
    fprintf(stderr, "usage: norv_probe cycles N | timeliness | verdict timely|late|missing | flood N | backlog N | "
                    "hold | pending N [S] | exchanges N ID | latency N\n");
    return 2;
}
