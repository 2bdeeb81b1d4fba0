// request_parser.cc: reassembly and splitting of control requests.
#include "core/request_parser.h"

#include "wire.h"

namespace norvd {

using namespace norv::wire;

void RequestParser::feed(const uint8_t *data, size_t len) {
    buffer_.insert(buffer_.end(), data, data + len);
}

RequestParser::Status RequestParser::next(Request &out, std::string &why) {
    if (buffer_.size() < request::kHeadSize) return Status::kNeedMore;
    int32_t command = get_i32le(buffer_.data(), request::kCommand);
    int32_t length = get_i32le(buffer_.data(), request::kLength);
    if (length < 0 || length > kMaxPayload || length % 4 != 0) {
        why = "command " + std::to_string(command) + " with length " + std::to_string(length) +
              ", " + std::to_string(buffer_.size()) + " buffered bytes dropped";
        buffer_.clear();
        return Status::kMalformed;
    }
    size_t total = request::kHeadSize + static_cast<size_t>(length);
    if (buffer_.size() < total) return Status::kNeedMore;
    out.command = command;
    out.payload.assign(buffer_.begin() + request::kHeadSize, buffer_.begin() + total);
    buffer_.erase(buffer_.begin(), buffer_.begin() + total);
    return Status::kRequest;
}

}  // namespace norvd
