// NORVping.cc: the ping client. Connects to the local NORV service, starts the
// failure notice monitor, opens one timed socket and then polls it forever,
// printing every answer and sending a registered ping to UDP port 16006 of the
// target every 400001 passes. Ends on SIGINT or on a fatal error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "format.h"
#include "norv.h"
#include "wire.h"

using norv::client::format_answer;
using norv::client::format_notice;

// ---- Process-wide state -----------------------------------------------------

char ip_addr[3000];     // target address text, NUL-terminated
int norvDesc;           // request FIFO of the control channel
int wait_info_desc;     // notice FIFO, read only by the monitor
TimedSocket socketDesc; // the client's one timed socket

namespace {

constexpr uint16_t kPingPort = 16006;
constexpr uint64_t kPassesBetweenPings = 400000;  // a ping leaves on the pass after
constexpr int kPayloadLength = 20;                // PingPayload
constexpr size_t kBufferSize = 1000;

// Set once NORVsocket succeeded: only then do the exits tell the service the
// socket is closed.
std::atomic<bool> socketCreated{false};

// Taken by whichever exit path starts first; the other never runs.
std::atomic_flag exitTaken = ATOMIC_FLAG_INIT;

// Self-pipe from sigint_handler to the stop thread.
int stopPipe[2] = {-1, -1};
// Set by sigint_handler as well; the ping loop runs the stop itself when no
// stop thread could be started.
volatile sig_atomic_t stopRequested = 0;
std::atomic<bool> stopThreadRunning{false};

// Writes one block of text to standard output with one call and flushes it at
// once, so blocks of the two threads never interleave and appear promptly on
// a pipe or a file.
void print_block(const std::string &text) {
    flockfile(stdout);
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
    funlockfile(stdout);
}

// Claims the exit for the caller. A second exit path, racing the first, waits
// here until the first one ends the process.
void claim_exit() {
    if (!exitTaken.test_and_set()) return;
    for (;;) pause();
}

// Tells the service that the socket (if any) and the connection are closed.
void release_service() {
    if (socketCreated.load()) NORVsocketClose(&socketDesc);
    closeNORVConnection(norvDesc, wait_info_desc);
}

// Ends the process without running static destructors while the other
// threads still run; standard output is flushed first.
[[noreturn]] void end_process(int status) {
    fflush(stdout);
    _exit(status);
}

// The stop by the user, in ordinary thread context.
[[noreturn]] void stop_by_user() {
    claim_exit();
    release_service();
    print_block("\nNORVPing stopped by user\n\n");
    end_process(0);
}

// Body of the stop thread: waits for the byte that sigint_handler writes.
void stop_thread_body() {
    char byte;
    for (;;) {
        ssize_t r = read(stopPipe[0], &byte, 1);
        if (r == 1) stop_by_user();
        if (r < 0 && errno == EINTR) continue;
        // The pipe cannot fail while the process holds both ends; should it,
        // leave the stop to the ping loop.
        stopThreadRunning.store(false);
        return;
    }
}

// Starts the stop thread; false when it cannot be started.
bool start_stop_thread() {
    if (pipe2(stopPipe, O_CLOEXEC) < 0) return false;
    // The handler must never block on a full pipe.
    fcntl(stopPipe[1], F_SETFL, O_NONBLOCK);
    try {
        stopThreadRunning.store(true);
        std::thread(stop_thread_body).detach();
        return true;
    } catch (const std::system_error &) {
        stopThreadRunning.store(false);
        return false;
    }
}

}  // namespace

// ---- Command line and exits ------------------------------------------------

void displaySintaxe() {
    printf("\n  use: NORVping [host_ip_adress|-b broadcast_ip]\n\n");
}

namespace {

[[noreturn]] void usage_exit() {
    displaySintaxe();
    exit(1);
}

// Copies an address text into ip_addr, or refuses one that does not fit.
void take_address(const char *text) {
    size_t length = strlen(text);
    if (length >= sizeof ip_addr) usage_exit();
    memcpy(ip_addr, text, length + 1);
}

}  // namespace

void parseCommandLine(int argc, char *argv[]) {
    if (argc == 2) {
        take_address(argv[1]);
    } else if (argc == 3 && strcmp(argv[1], "-b") == 0) {
        take_address(argv[2]);
    } else {
        usage_exit();
    }
}

[[noreturn]] void exit_on_error(const char *message) {
    int error = errno;  // the main thread's last failed call, read before anything else
    claim_exit();
    if (error != 0) {
        errno = error;
        perror(message);
    } else {
        fprintf(stderr, "%s", message);
    }
    release_service();
    end_process(0);
}

void sigint_handler(int) {
    int saved = errno;
    stopRequested = 1;
    char byte = 1;
    if (stopPipe[1] >= 0) (void)!write(stopPipe[1], &byte, 1);
    errno = saved;
}

// ---- Failure notice monitor ---------------------------------------------------

void display_fail_info(const FailureNotice *notice) { print_block(format_notice(*notice)); }

int fn(void *) {
    using namespace std::chrono_literals;
    uint8_t record[norv::wire::notice::kSize];
    // A device that keeps failing (end of file once the service is gone, say)
    // is retried at once the first time, then ever more slowly.
    auto backoff = 0ms;
    for (;;) {
        if (NORVwaitInfo(wait_info_desc, record) == 0) {
            backoff = 0ms;
            FailureNotice notice = norv::wire::decode_failure_notice(record);
            display_fail_info(&notice);
        } else {
            if (backoff > 0ms) std::this_thread::sleep_for(backoff);
            backoff = std::min<std::chrono::milliseconds>(backoff == 0ms ? 1ms : backoff * 2, 500ms);
        }
    }
    return 0;
}

namespace {

// Starts the monitor on a thread of its own; when it cannot be started the
// client carries on without notices.
void start_monitor() {
    try {
        std::thread([] { fn(nullptr); }).detach();
    } catch (const std::system_error &) {
    }
}

// ---- Ping loop ----------------------------------------------------------------

[[noreturn]] void ping_loop() {
    sockaddr_in destination;
    bzero(&destination, sizeof destination);
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = inet_addr(ip_addr);  // all ones when not an address
    destination.sin_port = htons(kPingPort);

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
        if (stopRequested && !stopThreadRunning.load()) stop_by_user();

        ++passes;
        if (passes > kPassesBetweenPings) {
            uint64_t now = getNORVTimestamp(norvDesc);
            if (now >> 63) exit_on_error("Error on geting a timestamp from the NORV\n");
            int sent = NORVsendtoWFD(buffer, kPayloadLength, 0,
                                     reinterpret_cast<const sockaddr *>(&destination),
                                     sizeof destination, 31, kPingPort, &socketDesc, now, 490,
                                     2000000, names);
            // -12 and -13: the service declined the registration; nothing was sent.
            if (sent < 0 && sent != -12 && sent != -13)
                exit_on_error("On send a packet in a NORV socket...\n");
            passes = 0;
        }

        senderLength = sizeof sender;
        int received = NORVrecvfrom(buffer, kPayloadLength, 0, reinterpret_cast<sockaddr *>(&sender),
                                    &senderLength, &socketDesc, &receiptStamp, &estimate,
                                    &errorBound, 0);
        if (received > 0) {
            norv::wire::PingPayload payload =
                norv::wire::decode_ping_payload(buffer + TIMED_HEADER_SIZE);
            print_block(format_answer(inet_ntoa(sender.sin_addr), payload));
        } else if (received < 0) {
            exit_on_error("On getting a message from a NORV socket...\n");
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

    parseCommandLine(argc, argv);

    if (openNORVConnection(&norvDesc, &wait_info_desc) < 0) {
        fprintf(stderr, "Error on opening a conection to the NORV\n");
        exit(1);
    }

    start_monitor();

    // The stop sequence runs on a thread of its own, so it neither waits for
    // the ping loop nor runs inside the handler. SA_RESTART keeps the
    // exchanges on the request FIFO from failing when the signal lands in them.
    start_stop_thread();
    struct sigaction action;
    bzero(&action, sizeof action);
    action.sa_handler = sigint_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);

    if (NORVsocket(AF_INET, &socketDesc, norvDesc) < 0) {
        if (errno != 0)
            exit_on_error("Error on creating a NORV socket...\n\n");
        else
            exit_on_error("Error on the access to the NORV...\n\n");
    }
    socketCreated.store(true);

    sockaddr_in bindAddress;
    bzero(&bindAddress, sizeof bindAddress);
    bindAddress.sin_family = AF_INET;
    bindAddress.sin_addr.s_addr = htonl(INADDR_ANY);
    bindAddress.sin_port = htons(0);
    if (NORVbind(reinterpret_cast<const sockaddr *>(&bindAddress), sizeof bindAddress,
                 &socketDesc) < 0)
        exit_on_error("Error on binding a NORV socket...\n");

    ping_loop();
}
