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
    uint8_t request[request::kHeadSize + start_measurement::kSize] = {};
    put_u64le(request + request::kHeadSize, start_measurement::kValue, value);
    uint8_t reply[4];
    if (exchange(requestFd, request, command::kStartMeasurement, start_measurement::kSize, reply,
                 sizeof reply) < 0)
        return -1;
    return get_i32le(reply, kReplyAnswer);
}

int endNORVMeasurement(int requestFd, int32_t value, uint64_t *first, uint64_t *second) {
    uint8_t request[request::kHeadSize + int_payload::kSize] = {};
    put_i32le(request + request::kHeadSize, int_payload::kValue, value);
    uint8_t reply[end_measurement_reply::kSize];
    if (exchange(requestFd, request, command::kEndMeasurement, int_payload::kSize, reply,
                 sizeof reply) < 0)
        return -1;
    int8_t status = static_cast<int8_t>(get_u8(reply, end_measurement_reply::kStatus));
    if (status != 0) return status;
    *first = get_u64le(reply, end_measurement_reply::kFirst);
    *second = get_u64le(reply, end_measurement_reply::kSecond);
    return 0;
}

uint64_t startNORVExec(int requestFd, uint64_t first, uint64_t second, uint64_t third,
                       ActivityNames names, const char *text) {
    uint8_t request[request::kHeadSize + exec_request::kExecSize] = {};
    uint8_t *payload = request + request::kHeadSize;
    put_exec_fields(payload, first, second, third, names);
    put_name(payload, exec_request::kText, text, exec_request::kTextWidth);
    uint8_t reply[8];
    if (exchange(requestFd, request, command::kStartExec, exec_request::kExecSize, reply,
                 sizeof reply) < 0)
        return UINT64_MAX;
    return get_u64le(reply, kReplyAnswer);
}

int startNORVlocalFD(int requestFd, uint64_t first, uint64_t second, uint64_t third,
                     ActivityNames names) {
    uint8_t request[request::kHeadSize + exec_request::kLocalFDSize] = {};
    put_exec_fields(request + request::kHeadSize, first, second, third, names);
    uint8_t reply[4];
    if (exchange(requestFd, request, command::kStartLocalFD, exec_request::kLocalFDSize, reply,
                 sizeof reply) < 0)
        return -1;
    return get_i32le(reply, kReplyAnswer);
}

int endNORVlocalFD(int requestFd, int32_t value, uint64_t *first, uint64_t *second,
                   uint8_t *byteResult) {
    uint8_t request[request::kHeadSize + int_payload::kSize] = {};
    put_i32le(request + request::kHeadSize, int_payload::kValue, value);
    uint8_t reply[end_local_fd_reply::kSize];
    if (exchange(requestFd, request, command::kEndLocalFD, int_payload::kSize, reply,
                 sizeof reply) < 0)
        return -1;
    int32_t status = get_i32le(reply, end_local_fd_reply::kStatus);
    if (status != 0) return status;
    *first = get_u64le(reply, end_local_fd_reply::kFirst);
    *second = get_u64le(reply, end_local_fd_reply::kSecond);
    *byteResult = get_u8(reply, end_local_fd_reply::kByte);
    return 0;
}

}  // extern "C"
