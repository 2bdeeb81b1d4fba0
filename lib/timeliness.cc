// timeliness.cc: requests for the service's timeliness services:
// measurements, timely executions and local failure detections.
#include "channel_io.h"
#include "norv.h"
#include "wire.h"

using namespace norv;
using namespace norv::wire;

namespace {

// Fills the fields that commands 6 and 7 share: three values and three names.
void put_exec_fields(uint8_t *payload, uint64_t first, uint64_t second, uint64_t third,
                     const ActivityNames &names) {
    put_u64le(payload, exec_request::kFirst, first);
    put_u64le(payload, exec_request::kSecond, second);
    put_u64le(payload, exec_request::kThird, third);
    put_name(payload, exec_request::kModuleName, names.moduleName, exec_request::kNameWidth);
    put_name(payload, exec_request::kActivityName, names.activityName, exec_request::kNameWidth);
    put_name(payload, exec_request::kWcetName, names.wcetName, exec_request::kNameWidth);
}

}  // namespace

extern "C" {

int startNORVMeasurement(int requestFd, uint64_t value) {
    Exchange<command::kStartMeasurement> x;
    put_u64le(x.payload(), start_measurement::kValue, value);
    if (x.run(requestFd) < 0) return -1;
    return get_i32le(x.reply.data(), kReplyAnswer);
}

int endNORVMeasurement(int requestFd, int32_t value, uint64_t *first, uint64_t *second) {
    Exchange<command::kEndMeasurement> x;
    put_i32le(x.payload(), int_payload::kValue, value);
    if (x.run(requestFd) < 0) return -1;
    const uint8_t *reply = x.reply.data();
    int8_t status = static_cast<int8_t>(get_u8(reply, end_measurement_reply::kStatus));
    if (status != 0) return status;
    *first = get_u64le(reply, end_measurement_reply::kFirst);
    *second = get_u64le(reply, end_measurement_reply::kSecond);
    return 0;
}

uint64_t startNORVExec(int requestFd, uint64_t first, uint64_t second, uint64_t third,
                       ActivityNames names, const char *text) {
    Exchange<command::kStartExec> x;
    put_exec_fields(x.payload(), first, second, third, names);
    put_name(x.payload(), exec_request::kText, text, exec_request::kTextWidth);
    if (x.run(requestFd) < 0) return UINT64_MAX;
    return get_u64le(x.reply.data(), kReplyAnswer);
}

int startNORVlocalFD(int requestFd, uint64_t first, uint64_t second, uint64_t third,
                     ActivityNames names) {
    Exchange<command::kStartLocalFD> x;
    put_exec_fields(x.payload(), first, second, third, names);
    if (x.run(requestFd) < 0) return -1;
    return get_i32le(x.reply.data(), kReplyAnswer);
}

int endNORVlocalFD(int requestFd, int32_t value, uint64_t *first, uint64_t *second,
                   uint8_t *byteResult) {
    Exchange<command::kEndLocalFD> x;
    put_i32le(x.payload(), int_payload::kValue, value);
    if (x.run(requestFd) < 0) return -1;
    const uint8_t *reply = x.reply.data();
    int32_t status = get_i32le(reply, end_local_fd_reply::kStatus);
    if (status != 0) return status;
    *first = get_u64le(reply, end_local_fd_reply::kFirst);
    *second = get_u64le(reply, end_local_fd_reply::kSecond);
    *byteResult = get_u8(reply, end_local_fd_reply::kByte);
    return 0;
}

}  // extern "C"
