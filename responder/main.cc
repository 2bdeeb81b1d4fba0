// main.cc: NORVpong, the program that answers pings on UDP port 16006.
//
//   NORVpong [--bind ADDR] [--json] [--quiet] [--realtime-priority N]
//   NORVpong --help | --version
//
// Connects to the local NORV service, binds a timed socket to ADDR (default
// any) port 16006 and answers every accepted ping (see pong.h), one line per
// ping on standard output (with --json, a JSON object, see pong_json.h). When
// the service goes away (its device hangs up or a clock read fails) it
// connects again with back-off, binds the same address and goes on answering.
// SIGINT or SIGTERM closes the timed socket and the
// connection and ends it with status 0. With --realtime-priority it answers
// at SCHED_FIFO priority N with its memory locked (support/realtime.h).
#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "connection.h"
#include "norv.h"
#include "pong.h"
#include "pong_json.h"
#include "realtime.h"

using namespace norvpong;

namespace {

const char kUsage[] =
    "usage: NORVpong [--bind ADDR] [--json] [--quiet] [--realtime-priority N]\n"
    "       NORVpong --help | --version\n";

const char kHelp[] =
    "Answers pings on UDP port " NORV_STRINGIFY(NORV_PING_PORT)
    " with timed datagrams, through the local NORV\n"
    "service, one line per answered ping on standard output.\n"
    "  --bind ADDR  the IPv4 address to answer on (default 0.0.0.0, every address)\n"
    "  --json       one JSON object per answered ping instead of a line of text\n"
    "  --quiet      print nothing on standard output\n"
    "  --realtime-priority N  answer at SCHED_FIFO priority N, 1 to 99, with memory\n"
    "               locked (default: ordinary priority)\n"
    "  -h, --help   print this help and exit\n"
    "  --version    print the version and exit\n";

enum OptionId { kBind = 256, kJson, kQuiet, kVersion, kRealtimePriority };
const option kOptions[] = {{"bind", required_argument, nullptr, kBind},
                           {"json", no_argument, nullptr, kJson},
                           {"quiet", no_argument, nullptr, kQuiet},
                           {"realtime-priority", required_argument, nullptr, kRealtimePriority},
                           {"help", no_argument, nullptr, 'h'},
                           {"version", no_argument, nullptr, kVersion},
                           {nullptr, 0, nullptr, 0}};

// A command line NORVpong cannot use: what is wrong, then the usage, status 1.
int bad_usage(const std::string &what) {
    fprintf(stderr, "NORVpong: %s\n%s", what.c_str(), kUsage);
    return 1;
}

void failed(const char *call) { fprintf(stderr, "NORVpong: %s failed: %s\n", call, strerror(errno)); }

using Clock = std::chrono::steady_clock;

// Reads the stop signal that poll found waiting on sigfd; true when it did.
bool take_stop(int sigfd, bool quiet, uint32_t answered) {
    signalfd_siginfo si;
    if (read(sigfd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) return false;
    if (!quiet)
        printf("NORVpong: stopped by %s after %u answers\n",
               strsignal(static_cast<int>(si.ssi_signo)), answered);
    return true;
}

// Lets go of a connection whose service has gone and connects again until it
// works, waiting reconnect_delay before each attempt; every attempt is logged
// on standard error. Returns false when a stop signal comes first.
bool reconnect(Connection &service, const sockaddr_in &local, const char *bindAddress, int sigfd,
               bool quiet, uint32_t answered, const char *why) {
    service.drop();
    fprintf(stderr, "NORVpong: lost the NORV service (%s); %u pings answered so far\n", why,
            answered);
    for (unsigned attempt = 1;; ++attempt) {
        auto delay = reconnect_delay(attempt);
        fprintf(stderr, "NORVpong: reconnection attempt %u in %lld ms\n", attempt,
                static_cast<long long>(delay.count()));
        auto until = Clock::now() + delay;
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0) break;
            pollfd p{sigfd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) > 0 && take_stop(sigfd, quiet, answered))
                return false;
        }
        std::string error;
        if (service.open(local, error)) {
            fprintf(stderr,
                    "NORVpong: reconnected to the NORV service (attempt %u): machine %u, "
                    "answering pings on %s:%u\n",
                    attempt, service.socket().localId, bindAddress, NORV_PING_PORT);
            return true;
        }
        fprintf(stderr, "NORVpong: reconnection attempt %u failed: %s\n", attempt, error.c_str());
    }
}

}  // namespace

int main(int argc, char *argv[]) {
    const char *bindAddress = "0.0.0.0";
    bool quiet = false, json = false;
    int realtimePriority = 0;
    opterr = 0;  // the errors are ours to word, naming the option
    for (int c; (c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
        switch (c) {
        case kBind: bindAddress = optarg; break;
        case kJson: json = true; break;
        case kQuiet: quiet = true; break;
        case kRealtimePriority:
            if (!norv::parse_realtime_priority(optarg, realtimePriority))
                return bad_usage("--realtime-priority needs a priority from 1 to 99");
            break;
        case 'h': printf("%s%s", kUsage, kHelp); return 0;
        case kVersion: printf("NORVpong %s\n", NORV_VERSION); return 0;
        case ':': return bad_usage(std::string(argv[optind - 1]) + " needs a value");
        default:
            // optopt: the short option not known, or a long option's own id
            // when it was given a value it does not take; 0 for an unknown
            // long option, which argv names whole.
            if (optopt >= kBind) return bad_usage(std::string(argv[optind - 1]) + " takes no value");
            return bad_usage("unknown option '" +
                             (optopt != 0 ? std::string("-") + static_cast<char>(optopt)
                                          : std::string(argv[optind - 1])) +
                             "'");
        }
    }
    if (optind < argc) return bad_usage(std::string("unexpected argument '") + argv[optind] + "'");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(NORV_PING_PORT);
    if (inet_pton(AF_INET, bindAddress, &local.sin_addr) != 1) {
        fprintf(stderr, "NORVpong: --bind needs an IPv4 address, not '%s'\n", bindAddress);
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Signals come through a descriptor, polled beside the socket, so a stop
    // never waits for a datagram.
    // A stop signal ignored by whoever started us (a shell does so for
    // background commands) would never reach the signalfd.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &stops, nullptr) < 0) return failed("sigprocmask"), 1;
    int sigfd = signalfd(-1, &stops, SFD_CLOEXEC);
    if (sigfd < 0) return failed("signalfd"), 1;

    if (realtimePriority != 0) {
        if (std::string why = norv::go_realtime(realtimePriority); !why.empty()) {
            fprintf(stderr, "NORVpong: %s\n", why.c_str());
            close(sigfd);
            return 1;
        }
        if (!quiet) printf("NORVpong: at SCHED_FIFO priority %d, memory locked\n", realtimePriority);
    }

    Connection service;
    std::string error;
    if (!service.open(local, error)) {
        fprintf(stderr, "NORVpong: %s\n", error.c_str());
        close(sigfd);
        return 1;
    }
    if (!quiet)
        printf("NORVpong: machine %u, answering pings on %s:%u\n", service.socket().localId,
               bindAddress, NORV_PING_PORT);

    uint32_t answered = 0;
    auto log = [quiet, json](const PingRecord &r) {
        if (quiet) return;
        std::string line = json ? ping_json(r) : ping_line(r.from, r.estimate, r.error, r.answer);
        printf("%s\n", line.c_str());
    };
    // When the channel last proved to work: an answered ping or a clock read.
    Clock::time_point lastSeen = Clock::now();
    int status = 0;
    for (;;) {
        auto idle = Clock::now() - lastSeen;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(kIdleCheck - idle);
        // The request device is polled for nothing but its hang-up: a pty
        // reports one as soon as the service behind it has gone.
        pollfd fds[3] = {{service.socket().udpSocket, POLLIN, 0},
                         {sigfd, POLLIN, 0},
                         {service.request_fd(), 0, 0}};
        int ready = poll(fds, 3, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0) {
            if (errno == EINTR) continue;
            failed("poll");
            status = 1;
            break;
        }
        if ((fds[1].revents & POLLIN) && take_stop(sigfd, quiet, answered)) break;

        const char *lost = nullptr;
        if (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) lost = "its device hung up";
        bool check = Clock::now() - lastSeen >= kIdleCheck;
        if (lost == nullptr && (fds[0].revents & (POLLIN | POLLERR))) {
            Intake in = answer_waiting(service.socket(), answered, log);
            if (in.receiveFailed) failed("NORVrecvfrom");
            if (in.clockFailed)
                lost = "a clock read failed";
            else if (in.answered > 0 && !in.receiveFailed)
                lastSeen = Clock::now();
            else
                // A ping refused because its receipt could not be reported
                // looks like no ping at all: ask the service itself.
                check = true;
        }
        if (lost == nullptr && check) {
            if (service.clock_works())
                lastSeen = Clock::now();
            else
                lost = "a clock read failed";
        }
        if (lost != nullptr) {
            if (!reconnect(service, local, bindAddress, sigfd, quiet, answered, lost)) break;
            lastSeen = Clock::now();
        }
    }
    service.close();
    close(sigfd);
    return status;
}
