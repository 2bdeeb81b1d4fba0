/* timed_echo.c: one timed echo through the NORV service.
 *
 *   timed_echo [HOST]        HOST: an IPv4 address, default 127.0.0.1
 *
 * Connects to the local NORV service (norvd), sends one timed datagram,
 * registered for timing failure detection, to the ping responder (NORVpong)
 * on HOST, and prints what the library and the service say about it: the
 * answer's estimated delay with its error bound, then the service's verdict
 * on the registered send for each machine of the group. Exits 0 once the
 * verdict is printed, 1 when something failed on the way.
 *
 * Build it against an installed libnorv with the Makefile here (pkg-config)
 * or with the CMakeLists.txt here (find_package(norv)).
 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <norv.h>

/* How long the answer and the verdict may each take, in milliseconds. */
#define WAIT_MS 10000
/* Deadline of the registered send after its start stamp, in service clock
 * units (nanoseconds for norvd): 2 ms. */
#define DEADLINE 2000000
/* Payload bytes of the echo request; the responder answers with as many. */
#define PAYLOAD 20

/* Waits until fd is readable or WAIT_MS pass; 1 when readable. */
static int readable(int fd) {
    struct pollfd p;
    p.fd = fd;
    p.events = POLLIN;
    p.revents = 0;
    return poll(&p, 1, WAIT_MS) == 1;
}

/* Receives the answer: a datagram the library accepts (it drops what the
 * service refuses and what is not a timed datagram). Returns its payload
 * length, or 0 when none came in time, -1 when the receive failed. */
static int receive_answer(TimedSocket *ts, uint8_t *buffer, struct sockaddr_in *from,
                          uint64_t *estimate, uint64_t *bound) {
    uint64_t receipt;
    while (readable(ts->udpSocket)) {
        socklen_t length = sizeof *from;
        int n = NORVrecvfrom(buffer, PAYLOAD, 0, (struct sockaddr *)from, &length, ts, &receipt,
                             estimate, bound, 0);
        if (n != 0) return n;
    }
    return 0;
}

/* Prints a failure notice. The record arrives little-endian with the layout
 * of FailureNotice, which is the host's own on x86. */
static void print_verdicts(const FailureNotice *notice) {
    unsigned i;
    printf("verdicts on send %u, judged by machine %u:\n", (unsigned)notice->seq,
           (unsigned)notice->sender);
    for (i = 0; i < MAX_MACHINES; ++i) {
        const MachineVerdict *v = &notice->verdicts[i];
        if (v->status == NORV_VERDICT_NOTHING_TO_REPORT) continue;
        printf("  machine %u: %s", i,
               v->status == NORV_VERDICT_TIMING_FAILURE ? "timing failure" : "timely");
        if (v->latenessKnown == 1)
            printf(", lateness %d\n", (int)v->lateness);
        else
            printf(", lateness not known\n");
    }
}

int main(int argc, char **argv) {
    const char *host = argc > 1 ? argv[1] : "127.0.0.1";
    struct sockaddr_in to, local, from;
    uint8_t buffer[TIMED_HEADER_SIZE + PAYLOAD];
    ActivityNames names;
    TimedSocket ts;
    FailureNotice notice;
    uint64_t start, estimate, bound;
    int requestFd, noticeFd, answer, status = 1;

    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(NORV_PING_PORT);
    if (argc > 2 || inet_pton(AF_INET, host, &to.sin_addr) != 1) {
        fprintf(stderr, "usage: timed_echo [IPv4 address of the responder]\n");
        return 1;
    }

    answer = openNORVConnection(&requestFd, &noticeFd);
    if (answer != 0) {
        if (answer == -1)
            perror("timed_echo: no connection to the NORV service");
        else
            fprintf(stderr, "timed_echo: the NORV service refused the connection (%d)\n", answer);
        return 1;
    }
    printf("libnorv %s, built with norv.h %s\n", NORVversion(), NORV_VERSION);

    memset(&ts, 0, sizeof ts);
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET; /* any address, a port of the system's choice */
    if (NORVsocket(AF_INET, &ts, requestFd) < 0 ||
        NORVbind((struct sockaddr *)&local, sizeof local, &ts) < 0) {
        perror("timed_echo: no timed socket");
        closeNORVConnection(requestFd, noticeFd);
        return 1;
    }
    printf("machine %u\n", (unsigned)ts.localId);

    /* The names under which the service logs the send. */
    memset(&names, 0, sizeof names);
    strcpy(names.moduleName, "timed_echo");
    strcpy(names.activityName, "echo");
    strcpy(names.wcetName, "echo_wcet");
    memset(buffer, 0, sizeof buffer);

    start = getNORVTimestamp(requestFd);
    if (start >> 63) {
        perror("timed_echo: no clock reading");
        goto out;
    }
    /* Every machine of the group (bits 0 to 4) is expected to receive it. The
     * 32-bit value and the first 64-bit one are the program's own to give;
     * norvd logs them. */
    answer = NORVsendtoWFD(buffer, PAYLOAD, 0, (struct sockaddr *)&to, sizeof to, 0x1F,
                           NORV_PING_PORT, &ts, start, 0, DEADLINE, names);
    if (answer == NORV_REFUSED_TABLE_FULL || answer == NORV_REFUSED_NO_RECEIVER) {
        fprintf(stderr, "timed_echo: the service declined the registration (%d)\n", answer);
        goto out;
    }
    if (answer < 0) {
        perror("timed_echo: send failed");
        goto out;
    }
    printf("sent a registered echo request to %s port %d\n", host, NORV_PING_PORT);

    answer = receive_answer(&ts, buffer, &from, &estimate, &bound);
    if (answer < 0) {
        perror("timed_echo: receive failed");
        goto out;
    }
    if (answer == 0) {
        fprintf(stderr, "timed_echo: no answer within %d ms\n", WAIT_MS);
        goto out;
    }
    /* The answer's delay, from the responder's receipt of the request (the
     * answer's start stamp) to its receipt here. */
    if (bound >= UNKNOWN_DELAY_ERROR)
        printf("answer from %s: estimate %llu us, no error bound\n", inet_ntoa(from.sin_addr),
               (unsigned long long)(estimate / 1000));
    else
        printf("answer from %s: estimate %llu us, error bound %llu us\n",
               inet_ntoa(from.sin_addr), (unsigned long long)(estimate / 1000),
               (unsigned long long)(bound / 1000));

    if (!readable(noticeFd)) {
        fprintf(stderr, "timed_echo: no verdict within %d ms\n", WAIT_MS);
        goto out;
    }
    if (NORVwaitInfo(noticeFd, &notice) != 0) {
        perror("timed_echo: no verdict");
        goto out;
    }
    print_verdicts(&notice);
    status = 0;

out:
    NORVsocketClose(&ts);
    closeNORVConnection(requestFd, noticeFd);
    return status;
}
