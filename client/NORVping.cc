// NORVping.cc: the ping client. Connects to the local NORV service, starts the
// failure notice monitor, opens one timed socket and then polls it forever,
// printing every answer and sending a registered ping to the ping port of the
// target every 400001 passes. Ends on SIGINT or on a fatal error.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "exit_gate.h"
#include "format.h"
#include "norv.h"
#include "wire.h"

using norv::client::ExitGate;
using norv::client::format_answer;
using norv::client::format_notice;

namespace {

constexpr uint64_t kPassesBetweenPings = 400000;  // a ping leaves on the pass after
constexpr int kPayloadLength = 20;                // PingPayload
constexpr size_t kBufferSize = 1000;

// What every ping registers with the service along with its start stamp.
// The machines expected to receive it, bit i for machine i: all five.
constexpr uint8_t kPingReceivers = 31;
static_assert(kPingReceivers == (1u << MAX_MACHINES) - 1);
// A value the service takes along with the registration; norvd only logs it.
constexpr uint64_t kPingLoggedValue = 490;
// The deadline, in service clock units after the start stamp: 2 ms for
// norvd, whose clock counts nanoseconds.
constexpr uint64_t kPingDeadline = 2000000;

// How long the stop waits for the main thread to hand the request channel over
// (see ExitGate) before it goes ahead without it.
constexpr std::chrono::milliseconds kExchangeGrace{500};

}  // namespace

// Everything the client's threads share. main fills it during start-up; the
// monitor reads only wait_info_desc; the exits go through `exits` before they
// touch the channel or the socket.
struct Client {
    char ip_addr[3000] = {};  // target address text, NUL-terminated
    int norvDesc = -1;        // request FIFO of the control channel
    int wait_info_desc = -1;  // notice FIFO, read only by the monitor
    TimedSocket socketDesc = {};  // the client's one timed socket
    ExitGate exits{kExchangeGrace};
};

namespace {

// Writes one block of text to standard output with one call and flushes it at
// once, so blocks of two threads never interleave and appear promptly on a
// pipe or a file.
void print_block(const std::string &text) {
    flockfile(stdout);
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
    funlockfile(stdout);
}

// Stops the calling thread for good while an exit on another thread ends the
// process.
[[noreturn]] void park() {
    for (;;) pause();
}

// Tells the service that the socket (once opened) and the connection are
// closed. closeNORVConnection also closes the descriptors it is given, which
// the monitor (and a main thread stuck in an exchange) may still be reading:
// it gets duplicates, and the originals close when the process ends. Without
// room for a duplicate, the original it must be.
void release_service(Client &c) {
    if (c.exits.socket_is_open()) NORVsocketClose(&c.socketDesc);
    int requestCopy = dup(c.norvDesc);
    int noticeCopy = dup(c.wait_info_desc);
    closeNORVConnection(requestCopy >= 0 ? requestCopy : c.norvDesc,
                        noticeCopy >= 0 ? noticeCopy : c.wait_info_desc);
}

// Ends the process without running static destructors while the other
// threads still run; standard output is flushed first.
[[noreturn]] void end_process(int status) {
    fflush(stdout);
    _exit(status);
}

}  // namespace

// ---- Command line -----------------------------------------------------------

void displaySintaxe() {
    printf("\n  use: NORVping [host_ip_adress|-b broadcast_ip]\n\n");
}

namespace {

[[noreturn]] void usage_exit() {
    displaySintaxe();
    exit(1);
}

// Copies an address text into ip_addr, or refuses one that does not fit.
void take_address(Client &c, const char *text) {
    size_t length = strlen(text);
    if (length >= sizeof c.ip_addr) usage_exit();
    memcpy(c.ip_addr, text, length + 1);
}

}  // namespace

void parseCommandLine(Client &c, int argc, char *argv[]) {
    if (argc == 2) {
        take_address(c, argv[1]);
    } else if (argc == 3 && strcmp(argv[1], "-b") == 0) {
        take_address(c, argv[2]);
    } else {
        usage_exit();
    }
}

// ---- Exits ----------------------------------------------------------------------

// The fatal-error exit, on the main thread. A stop by the user that has begun
// already ends the process instead, and this error goes unreported.
[[noreturn]] void exit_on_error(Client &c, const char *message) {
    int error = errno;  // the main thread's last failed call, read before anything else
    if (!c.exits.claim_error_exit()) park();
    if (error != 0) {
        errno = error;
        perror(message);
    } else {
        fprintf(stderr, "%s", message);
    }
    release_service(c);
    end_process(0);
}

namespace {

// SIGINT alone, as a set for the signal masks.
sigset_t sigint_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    return set;
}

// The stop by the user, on a thread of its own: waits for SIGINT, which every
// other thread blocks, so the signal never interrupts the ping loop's poll or
// an exchange on a FIFO, and the stop runs in ordinary thread context, never
// inside an output call that a signal interrupted.
void stop_thread(Client &c) {
    sigset_t interrupt = sigint_set();
    int received;
    while (sigwait(&interrupt, &received) != 0) {
    }
    if (c.exits.claim_stop() == ExitGate::Stop::kLost) park();
    release_service(c);
    // The message is the last output: standard output stays locked until the
    // process ends, so a notice that the monitor has just read waits for good.
    flockfile(stdout);
    fputs("\nNORVPing stopped by user\n\n", stdout);
    end_process(0);
}

// From here on SIGINT stops the client: the main thread blocks it, every
// thread started after inherits the block, and the stop thread waits for it.
// Until here SIGINT keeps its default action, and it keeps it when the stop
// thread cannot be started.
void take_sigint(Client &c) {
    sigset_t interrupt = sigint_set();
    pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
    try {
        std::thread(stop_thread, std::ref(c)).detach();
    } catch (const std::system_error &) {
        pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
    }
}

}  // namespace

// ---- Failure notice monitor ---------------------------------------------------

void display_fail_info(const FailureNotice *notice) { print_block(format_notice(*notice)); }

void fn(int noticeFd) {
    using namespace std::chrono_literals;
    uint8_t record[norv::wire::notice::kSize];
    // A device that keeps failing (end of file once the service is gone, say)
    // is retried at once the first time, then ever more slowly.
    auto backoff = 0ms;
    for (;;) {
        if (NORVwaitInfo(noticeFd, record) == 0) {
            backoff = 0ms;
            FailureNotice notice = norv::wire::decode_failure_notice(record);
            display_fail_info(&notice);
        } else {
            if (backoff > 0ms) std::this_thread::sleep_for(backoff);
            backoff = std::min<std::chrono::milliseconds>(backoff == 0ms ? 1ms : backoff * 2, 500ms);
        }
    }
}

namespace {

// Starts the monitor on a thread of its own, with SIGINT blocked from its
// first instruction on; the main thread keeps the default action (a SIGINT
// that comes meanwhile waits and takes it once the mask is back). When the
// monitor cannot be started the client carries on without notices.
void start_monitor(int noticeFd) {
    sigset_t interrupt = sigint_set(), previous;
    pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
    try {
        std::thread(fn, noticeFd).detach();
    } catch (const std::system_error &) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// ---- Ping loop ----------------------------------------------------------------

[[noreturn]] void ping_loop(Client &c) {
    sockaddr_in destination;
    bzero(&destination, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = inet_addr(c.ip_addr);  // all ones when not an address
    destination.sin_port = htons(NORV_PING_PORT);

    sockaddr_in sender;
    bzero(&sender, sizeof sender);
    socklen_t senderLength;

    ActivityNames names;
    bzero(&names, sizeof names);
    strcpy(names.moduleName, "appmod1");
    strcpy(names.activityName, "timelyExec");
    strcpy(names.wcetName, "timelyExec_wcet");

    // One buffer for both directions: a ping carries the payload bytes that
    // the latest received datagram left at TIMED_HEADER_SIZE.
    static uint8_t buffer[kBufferSize];
    bzero(buffer, sizeof buffer);

    uint64_t receiptStamp, estimate, errorBound;  // provided, never read
    uint64_t passes = 0;
    for (;;) {
        if (!c.exits.pass_may_begin()) park();  // the stop has the channel now

        ++passes;
        if (passes > kPassesBetweenPings) {
            uint64_t now = getNORVTimestamp(c.norvDesc);
            if (now >> 63) exit_on_error(c, "Error on geting a timestamp from the NORV\n");
            int sent = NORVsendtoWFD(buffer, kPayloadLength, 0,
                                     reinterpret_cast<const sockaddr *>(&destination),
                                     sizeof destination, kPingReceivers, NORV_PING_PORT,
                                     &c.socketDesc, now, kPingLoggedValue, kPingDeadline, names);
            // The service declined the registration: nothing was sent.
            if (sent < 0 && sent != NORV_REFUSED_TABLE_FULL && sent != NORV_REFUSED_NO_RECEIVER)
                exit_on_error(c, "On send a packet in a NORV socket...\n");
            passes = 0;
        }

        senderLength = sizeof sender;
        int received = NORVrecvfrom(buffer, kPayloadLength, 0, reinterpret_cast<sockaddr *>(&sender),
                                    &senderLength, &c.socketDesc, &receiptStamp, &estimate,
                                    &errorBound, 0);
        if (received > 0) {
            norv::wire::PingPayload payload =
                norv::wire::decode_ping_payload(buffer + TIMED_HEADER_SIZE);
            print_block(format_answer(inet_ntoa(sender.sin_addr), payload));
        } else if (received < 0) {
            exit_on_error(c, "On getting a message from a NORV socket...\n");
        }
    }
}

}  // namespace

// ---- Start-up --------------------------------------------------------------------

int main(int argc, char *argv[]) {
    printf("\n----------------------------------------------------------\n");
    printf("Distributed failure detection service - client aplication\n");
    printf("----------------------------------------------------------\n\n");
    fflush(stdout);

    // main never returns: the process ends through _exit while the other
    // threads still use this.
    Client c;
    parseCommandLine(c, argc, argv);

    if (openNORVConnection(&c.norvDesc, &c.wait_info_desc) < 0) {
        fprintf(stderr, "Error on opening a conection to the NORV\n");
        exit(1);
    }

    start_monitor(c.wait_info_desc);
    take_sigint(c);

    if (NORVsocket(AF_INET, &c.socketDesc, c.norvDesc) < 0) {
        if (errno != 0)
            exit_on_error(c, "Error on creating a NORV socket...\n\n");
        else
            exit_on_error(c, "Error on the access to the NORV...\n\n");
    }
    c.exits.socket_opened();

    sockaddr_in bindAddress;
    bzero(&bindAddress, sizeof bindAddress);
    bindAddress.sin_family = AF_INET;
    bindAddress.sin_addr.s_addr = htonl(INADDR_ANY);
    bindAddress.sin_port = htons(0);
    if (NORVbind(reinterpret_cast<const sockaddr *>(&bindAddress), sizeof bindAddress,
                 &c.socketDesc) < 0)
        exit_on_error(c, "Error on binding a NORV socket...\n");

    ping_loop(c);
}
