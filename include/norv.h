/*
 * norv.h: the NORV access library.
 *
 * Programs reach the local NORV timing service through its control channel
 * (three device files) and exchange timed datagrams through timed sockets.
 *
 * Conventions of every operation below:
 *   - Integers are in host byte order; stamps, ages, estimates and error
 *     bounds are unsigned 64-bit readings of a NORV service clock.
 *   - A failed system call gives -1 (a 64-bit result then has all bits set)
 *     and leaves errno as that call set it; the library sets no errno of its
 *     own. A negative answer of the service is returned unchanged.
 *   - Every buffer and record belongs to the caller. The library allocates
 *     nothing, keeps no state of its own and prints nothing.
 *   - A buffer handed to a timed send or receive holds TIMED_HEADER_SIZE
 *     bytes of header room followed by the payload; lengths never count it.
 *   - One control channel serves one thread at a time.
 */
#ifndef NORV_NORV_H
#define NORV_NORV_H

#include <stdint.h>
#include <sys/socket.h>

/* Version of this header. NORVversion() gives the version of the library a
 * program runs with, which may be a later one. */
#define NORV_VERSION_MAJOR 0
#define NORV_VERSION_MINOR 1
#define NORV_STRINGIFY_(x) #x
#define NORV_STRINGIFY(x) NORV_STRINGIFY_(x)
#define NORV_VERSION NORV_STRINGIFY(NORV_VERSION_MAJOR) "." NORV_STRINGIFY(NORV_VERSION_MINOR)

#ifdef __cplusplus
extern "C" {
#endif

/* The operations that libnorv.so exports. The library is built with hidden
 * visibility, so nothing else of it (its C++ internals above all) becomes
 * part of its interface. */
#if defined(__GNUC__) && __GNUC__ >= 4
#define NORV_API __attribute__((visibility("default")))
#else
#define NORV_API
#endif

/* Machines in a group; machine ids run from 0 to MAX_MACHINES - 1. */
#define MAX_MACHINES 5
/* Bytes of timing header in front of every timed datagram's payload. */
#define TIMED_HEADER_SIZE 184
/* Error bound of a delay that is not known (2^56 - 1). */
#define UNKNOWN_DELAY_ERROR UINT64_C(0x00FFFFFFFFFFFFFF)
/* Largest drift rate of any service clock against real time. */
#define DRIFT_RATE 0.000005

/* UDP port on which the ping responder answers timed pings. */
#define NORV_PING_PORT 16006

/* The answers with which the service declines to register a send. NORVsendtoWFD
 * returns them unchanged and sends nothing; a later send may be accepted. */
#define NORV_REFUSED_TABLE_FULL (-12)  /* the service holds all the sends it can */
#define NORV_REFUSED_NO_RECEIVER (-13) /* no machine of the group to receive it, or no deadline */

/* MachineVerdict.status values; any other status is a timely reception. */
#define NORV_VERDICT_TIMING_FAILURE 1
#define NORV_VERDICT_NOTHING_TO_REPORT 2

/* Timing of the reference datagram last taken from one peer machine. */
typedef struct PeerTiming {
    uint64_t recvTime;      /* local receipt time; 0: no reference yet */
    uint64_t sendStamp;     /* the peer's send stamp of the reference */
    uint64_t delayError;    /* error bound of delayEstimate */
    uint64_t delayEstimate; /* estimated transit delay of the reference */
} PeerTiming;

/* A UDP socket paired with the control channel of the local service. */
typedef struct TimedSocket {
    PeerTiming peers[MAX_MACHINES]; /* indexed by machine id */
    uint8_t localId;                /* this machine's id */
    int requestFd;                  /* the control channel's request FIFO */
    int udpSocket;                  /* -1 after a failed creation */
    int32_t serverId;               /* as given to NORVbindserver */
} TimedSocket;

/* Three NUL-terminated names of 50 bytes each; a name of 50 characters
 * has no terminator. Passed by value. */
typedef struct ActivityNames {
    char moduleName[50];
    char activityName[50];
    char wcetName[50];
} ActivityNames;

/* The service's verdict on one machine's reception of a registered send. */
typedef struct MachineVerdict {
    uint8_t status;        /* NORV_VERDICT_TIMING_FAILURE, NORV_VERDICT_NOTHING_TO_REPORT,
                              else timely */
    uint8_t latenessKnown; /* 1: lateness is valid */
    uint8_t reserved[2];
    int32_t lateness;      /* lateness degree as the service reports it */
} MachineVerdict;

/* A failure notice: the verdicts on one registered send. On the notice FIFO
 * it is a 48-byte little-endian record with the layout of these fields. */
typedef struct FailureNotice {
    uint8_t reserved0;
    uint8_t sender;        /* machine that judged the send */
    uint8_t reserved[2];
    uint32_t seq;          /* registration id of the send */
    MachineVerdict verdicts[MAX_MACHINES];
} FailureNotice;

#define NORV_FAILURE_NOTICE_SIZE 48
typedef char norv_machine_verdict_is_8_bytes[sizeof(MachineVerdict) == 8 ? 1 : -1];
typedef char norv_failure_notice_is_48_bytes[sizeof(FailureNotice) == NORV_FAILURE_NOTICE_SIZE ? 1 : -1];
typedef char norv_activity_names_is_150_bytes[sizeof(ActivityNames) == 150 ? 1 : -1];

/* The version of the library: NORV_VERSION as it was when the library was
 * built. A static string. */
NORV_API const char *NORVversion(void);

/* ---- Control channel ---------------------------------------------------- */

/* Registers with the service on "/dev/rtf1" and opens the connection's request
 * and notice FIFOs. Returns 0 with both descriptors stored; -1 when a device
 * cannot be opened or the registration exchange fails; the service's negative
 * answer unchanged when it refuses (descriptors then untouched). */
NORV_API int openNORVConnection(int *requestFd, int *noticeFd);

/* Tells the service the program leaves (command 1), then closes both FIFOs.
 * Returns 0; -1 when the request cannot be written (nothing is closed). */
NORV_API int closeNORVConnection(int requestFd, int noticeFd);

/* The service clock; all bits set when the exchange fails. */
NORV_API uint64_t getNORVTimestamp(int requestFd);

/* The same exchange as getNORVTimestamp: the clock read of the socket layer. */
NORV_API uint64_t gettime(int requestFd);

/* The local machine's id; negative on failure. */
NORV_API int getNORVid(int requestFd);

/* Reports the receipt of a registered datagram. Returns the service's answer:
 * 0 accepts the datagram, anything else (or -1 on failure) refuses it. */
NORV_API int notify_norv_of_receipt(int requestFd, uint8_t sender, int32_t registrationId,
                                    uint64_t receiptTime);

/* Waits for the next failure notice and reads its 48 bytes into notice.
 * Returns 0 for a whole notice, -1 otherwise. */
NORV_API int NORVwaitInfo(int noticeFd, void *notice);

/* ---- Peer timing table and delay estimation ------------------------------- */

/* Empties the peer timing table, sets localId and sets requestFd to 0 (no
 * channel: NORVsocket stores its own right after); udpSocket and serverId keep
 * their values. */
NORV_API void init_session(TimedSocket *socket, uint8_t localId);

/* Bounds the delay of an accepted datagram from the header fields and the echo
 * addressed to this machine, updates the sender's reference and stores the
 * estimated time since the sender's start stamp and its error bound. */
NORV_API void putReceiveInfo(TimedSocket *socket, uint64_t now, uint64_t age, uint64_t sendStamp,
                             uint64_t echoStamp, uint8_t senderId, uint64_t echoEstimate,
                             uint64_t echoError, uint64_t elapsed, uint64_t *estimateOut,
                             uint64_t *errorOut);

/* ---- Timed datagram socket ---------------------------------------------- */

/* Creates the UDP socket (broadcast permitted), asks the service for the
 * machine id and resets the table. Returns the UDP descriptor, or -1. When the
 * socket cannot be made, udpSocket is -1; when the id exchange fails, udpSocket
 * holds the open socket, which the caller closes, and the table is left as it
 * was. */
NORV_API int NORVsocket(int family, TimedSocket *socket, int requestFd);

/* Binds the UDP socket; returns the result of bind. */
NORV_API int NORVbind(const struct sockaddr *address, socklen_t addressLength, TimedSocket *socket);

/* Registers serverId with the service (command 11), then binds. Returns -1
 * when the request cannot be written, else the result of bind. */
NORV_API int NORVbindserver(const struct sockaddr *address, socklen_t addressLength,
                            int32_t serverId, TimedSocket *socket);

/* Sends len payload bytes behind a timing header written in place. Returns
 * the bytes sent, header included (len + TIMED_HEADER_SIZE), or -1. */
NORV_API int NORVsendto(void *buffer, int len, int flags, const struct sockaddr *to,
                        socklen_t toLength, TimedSocket *socket, uint64_t startStamp);

/* Registers the send with the service (command 9), then sends as NORVsendto
 * with the registration id in the header. Returns the bytes sent, the
 * service's negative refusal unchanged (nothing sent), or -1. */
NORV_API int NORVsendtoWFD(void *buffer, int len, int flags, const struct sockaddr *to,
                           socklen_t toLength, uint8_t value8, int32_t value32,
                           TimedSocket *socket, uint64_t startStamp, uint64_t first,
                           uint64_t second, ActivityNames names);

/* Receives one accepted timed datagram (header at 0, up to len payload bytes
 * at TIMED_HEADER_SIZE). With blocking 0 returns 0 at once when nothing
 * waits. Returns the payload length, 0, or -1 when the receive fails. */
NORV_API int NORVrecvfrom(void *buffer, int len, int flags, struct sockaddr *from,
                          socklen_t *fromLength, TimedSocket *socket, uint64_t *receiptStamp,
                          uint64_t *estimate, uint64_t *errorBound, uint8_t blocking);

/* Tells the service the socket is closed (command 12); returns the result of
 * the write. */
NORV_API int NORVsocketClose(TimedSocket *socket);

/* ---- Timeliness service requests ----------------------------------------- */

/* Starts a measurement (command 4); the service's answer, or -1. */
NORV_API int startNORVMeasurement(int requestFd, uint64_t value);

/* Ends a measurement (command 5). Returns 0 with both results stored, the
 * service's non-zero status (results untouched), or -1. */
NORV_API int endNORVMeasurement(int requestFd, int32_t value, uint64_t *first, uint64_t *second);

/* Starts a timely execution (command 6); the service's answer, or all bits
 * set on failure. text is a NUL-terminated string, sent as at most 20 bytes. */
NORV_API uint64_t startNORVExec(int requestFd, uint64_t first, uint64_t second, uint64_t third,
                                ActivityNames names, const char *text);

/* Starts a local failure detection (command 7); the service's answer, or -1. */
NORV_API int startNORVlocalFD(int requestFd, uint64_t first, uint64_t second, uint64_t third,
                              ActivityNames names);

/* Ends a local failure detection (command 8). Returns 0 with the three
 * results stored, the service's non-zero status (results untouched), or -1. */
NORV_API int endNORVlocalFD(int requestFd, int32_t value, uint64_t *first, uint64_t *second,
                            uint8_t *byteResult);

#ifdef __cplusplus
}
#endif

#endif /* NORV_NORV_H */
