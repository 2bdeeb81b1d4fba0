// channel.cc: the control channel to the local NORV service: connection set-up
// and take-down, the clock, the machine id, receipt notification and notices.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "channel_io.h"
#include "norv.h"
#include "wire.h"

namespace norv {

using namespace wire;

int read_full(int fd, uint8_t *buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        ssize_t r = read(fd, buf + got, len - got);
        if (r <= 0) return -1;
        got += static_cast<size_t>(r);
    }
    return 0;
}

int exchange(int fd, uint8_t *request, int32_t command, uint8_t *reply) {
    put_i32le(request, request::kCommand, command);
    put_i32le(request, request::kLength, static_cast<int32_t>(payload_size(command)));
    if (write(fd, request, request_size(command)) < 0) return -1;
    if (reply_size(command) == 0) return 0;
    return read_full(fd, reply, reply_size(command));
}

namespace {

// Closes fd without disturbing the errno of the failure being reported.
void close_keeping_errno(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
}

}  // namespace

int open_connection_at(const char *prefix, int *requestFd, int *noticeFd) {
    char path[256];
    snprintf(path, sizeof path, "%s1", prefix);
    int registration = open(path, O_RDWR);
    if (registration < 0) return -1;

    Exchange<command::kConnect> x;
    if (x.run(registration) < 0) {
        close_keeping_errno(registration);
        return -1;
    }
    close(registration);

    int32_t channel = get_i32le(x.reply.data(), kReplyAnswer);
    if (channel < 0) return channel;

    snprintf(path, sizeof path, "%s%d", prefix, channel);
    *requestFd = open(path, O_RDWR);
    if (*requestFd < 0) return -1;

    // The notice FIFO's number is N + 3, formed without signed overflow.
    snprintf(path, sizeof path, "%s%lld", prefix, static_cast<long long>(channel) + 3);
    *noticeFd = open(path, O_RDWR);
    if (*noticeFd < 0) {
        close_keeping_errno(*requestFd);
        return -1;
    }
    return 0;
}

}  // namespace norv

using namespace norv;
using namespace norv::wire;

extern "C" {

int openNORVConnection(int *requestFd, int *noticeFd) {
    return open_connection_at("/dev/rtf", requestFd, noticeFd);
}

int closeNORVConnection(int requestFd, int noticeFd) {
    if (Exchange<command::kDisconnect>().run(requestFd) < 0) return -1;
    close(requestFd);
    close(noticeFd);
    return 0;
}

uint64_t getNORVTimestamp(int requestFd) {
    Exchange<command::kTimestamp> x;
    if (x.run(requestFd) < 0) return UINT64_MAX;
    return get_u64le(x.reply.data(), kReplyAnswer);
}

uint64_t gettime(int requestFd) { return getNORVTimestamp(requestFd); }

int getNORVid(int requestFd) {
    Exchange<command::kMachineId> x;
    if (x.run(requestFd) < 0) return -1;
    return get_i32le(x.reply.data(), kReplyAnswer);
}

int notify_norv_of_receipt(int requestFd, uint8_t sender, int32_t registrationId,
                           uint64_t receiptTime) {
    Exchange<command::kReceipt> x;
    put_i32le(x.payload(), receipt::kRegistrationId, registrationId);
    put_u64le(x.payload(), receipt::kReceiptTime, receiptTime);
    put_u8(x.payload(), receipt::kSender, sender);
    if (x.run(requestFd) < 0) return -1;
    return get_i32le(x.reply.data(), kReplyAnswer);
}

int NORVwaitInfo(int noticeFd, void *notice) {
    // Read into a private record first, so a short notice never leaves a
    // half-new record in the caller's buffer.
    uint8_t record[notice::kSize];
    if (read_full(noticeFd, record, sizeof record) < 0) return -1;
    std::memcpy(notice, record, sizeof record);
    return 0;
}

}  // extern "C"
