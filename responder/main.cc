// main.cc: NORVpong, the program that answers pings on UDP port 16006.
//
//   NORVpong [--bind ADDR] [--json] [--quiet]
//
// Connects to the local NORV service, binds a timed socket to ADDR (default
// any) port 16006 and answers every accepted ping (see pong.h), one line per
// ping on standard output (with --json, a JSON object, see pong_json.h). SIGINT or SIGTERM closes the timed socket and the
// connection and ends it with status 0.
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "norv.h"
#include "pong.h"
#include "pong_json.h"

using namespace norvpong;

namespace {

void usage(FILE *out) { fputs("usage: NORVpong [--bind ADDR] [--json] [--quiet]\n", out); }

void failed(const char *call) { fprintf(stderr, "NORVpong: %s failed: %s\n", call, strerror(errno)); }

}  // namespace

int main(int argc, char *argv[]) {
    const char *bindAddress = "0.0.0.0";
    bool quiet = false, json = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quiet") == 0) {
            quiet = true;
        } else if (strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (strcmp(argv[i], "--bind") == 0 && i + 1 < argc) {
            bindAddress = argv[++i];
        } else if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 1;
        }
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(kPingPort);
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

    int requestFd = -1, noticeFd = -1;
    int rc = openNORVConnection(&requestFd, &noticeFd);
    if (rc != 0) {
        if (rc == -1 && errno != 0)
            failed("openNORVConnection");
        else
            fprintf(stderr, "NORVpong: the NORV service refused the connection (%d)\n", rc);
        return 1;
    }
    TimedSocket socket{};
    int status = 0;
    bool made = NORVsocket(AF_INET, &socket, requestFd) >= 0;
    if (!made) {
        failed("NORVsocket");
        status = 1;
    } else if (NORVbind(reinterpret_cast<sockaddr *>(&local), sizeof local, &socket) < 0) {
        failed("NORVbind");
        status = 1;
    }
    if (status == 0 && !quiet)
        printf("NORVpong: machine %u, answering pings on %s:%u\n", socket.localId, bindAddress,
               kPingPort);

    uint32_t answered = 0;
    auto log = [quiet, json](const PingRecord &r) {
        if (quiet) return;
        std::string line = json ? ping_json(r) : ping_line(r.from, r.estimate, r.error, r.answer);
        printf("%s\n", line.c_str());
    };
    while (status == 0) {
        pollfd fds[2] = {{socket.udpSocket, POLLIN, 0}, {sigfd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            failed("poll");
            status = 1;
            break;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo si;
            if (read(sigfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si) && !quiet)
                printf("NORVpong: stopped by %s after %u answers\n",
                       strsignal(static_cast<int>(si.ssi_signo)), answered);
            break;
        }
        if ((fds[0].revents & POLLIN) && answer_waiting(socket, answered, log) < 0)
            failed("NORVrecvfrom");
    }
    if (made) NORVsocketClose(&socket);
    closeNORVConnection(requestFd, noticeFd);
    close(sigfd);
    return status;
}
