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
#include <mutex>
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

// The main thread's turn on the control channel: held by it from start-up on
// and given up only between two passes of the ping loop. The stop thread
// takes it before it writes commands 12 and 1, so that these are the last
// requests of the process and never land between a request of the main
// thread and its reply. A main thread that waits for a reply the service
// never sends cannot give it up: after kExchangeGrace the stop goes ahead.
std::timed_mutex channelTurn;
std::atomic<bool> stopping{false};
constexpr std::chrono::milliseconds kExchangeGrace{500};

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
// An exit runs while the other threads may sit in a read on the two FIFOs (the
// main thread waiting for a reply when the stop comes from the stop thread,
// the monitor always), so the descriptors they read are not closed under them:
// a closed number could be handed out again while a thread still uses it.
// Command 1 goes out on duplicates, which closeNORVConnection closes; the
// originals close when the process ends, a moment later.
void release_service() {
    if (socketCreated.load()) NORVsocketClose(&socketDesc);
    int requestCopy = dup(norvDesc);
    int noticeCopy = dup(wait_info_desc);
    if (requestCopy >= 0 && noticeCopy >= 0) {
        closeNORVConnection(requestCopy, noticeCopy);
        return;
    }
    // No descriptor left for a copy: the originals it must be.
    if (requestCopy >= 0) close(requestCopy);
    if (noticeCopy >= 0) close(noticeCopy);
    closeNORVConnection(norvDesc, wait_info_desc);
}

// Ends the process without running static destructors while the other
// threads still run; standard output is flushed first.
[[noreturn]] void end_process(int status) {
    fflush(stdout);
    _exit(status);
}

// The stop by the user, in ordinary thread context.
[[noreturn]] void stop_by_user(bool onMainThread) {
    claim_exit();
    if (!onMainThread) {
        stopping.store(true);
        (void)channelTurn.try_lock_for(kExchangeGrace);
    }
    release_service();
    print_block("\nNORVPing stopped by user\n\n");
    end_process(0);
}

// SIGINT, as a set for the signal masks.
sigset_t sigint_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    return set;
}

// Body of the stop thread: waits for the byte that sigint_handler writes.
// It is the one thread that takes SIGINT (the others block it), so the
// signal never interrupts the ping loop's poll or an exchange on a FIFO, and
// the handler runs while this thread waits in its read.
void stop_thread_body() {
    sigset_t interrupt = sigint_set();
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
    char byte;
    for (;;) {
        ssize_t r = read(stopPipe[0], &byte, 1);
        if (r == 1) stop_by_user(false);
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

namespace {

// Installs sigint_handler. Where the signal can land in the main thread's
// exchanges on the request FIFO (no stop thread), restart keeps them from
// failing. The stop thread wants the opposite: its wait returns, so the
// handler's byte is read at once even where the handler runs only once the
// interrupted call has returned (as under ThreadSanitizer).
void install_sigint_handler(bool restart) {
    struct sigaction action;
    bzero(&action, sizeof action);
    action.sa_handler = sigint_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = restart ? SA_RESTART : 0;
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

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
    bool sigintHere = false;
    for (;;) {
        if (stopping.load()) {
            // The stop thread has begun: leave the channel to it for good.
            channelTurn.unlock();
            for (;;) pause();
        }
        if (!stopThreadRunning.load()) {
            // No stop thread (any more): SIGINT comes to this thread, which
            // looks for it once a pass.
            if (!sigintHere) {
                install_sigint_handler(true);
                sigset_t interrupt = sigint_set();
                pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
                sigintHere = true;
            }
            if (stopRequested) stop_by_user(true);
        }

        ++passes;
        if (passes > kPassesBetweenPings) {
            uint64_t now = getNORVTimestamp(norvDesc);
            if (now >> 63) exit_on_error("Error on geting a timestamp from the NORV\n");
            int sent = NORVsendtoWFD(buffer, kPayloadLength, 0,
                                     reinterpret_cast<const sockaddr *>(&destination),
                                     sizeof destination, 31, NORV_PING_PORT, &socketDesc, now,
                                     490, 2000000, names);
            // The service declined the registration: nothing was sent.
            if (sent < 0 && sent != NORV_REFUSED_TABLE_FULL && sent != NORV_REFUSED_NO_RECEIVER)
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

    // Every thread but the stop thread runs with SIGINT blocked; the monitor
    // inherits the mask from here.
    sigset_t interrupt = sigint_set();
    pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
    start_monitor();

    channelTurn.lock();
    // The stop sequence runs on a thread of its own, so it neither waits for
    // the ping loop nor runs inside the handler.
    install_sigint_handler(!start_stop_thread());

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
