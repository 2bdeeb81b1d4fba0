// request_parser.h: cuts the byte stream read from one device into control
// requests.
//
// A pty hands over bytes, not records: the requests of several clients that
// share a device may come out of one read, and one request may come out of
// several. The parser buffers what it is fed and yields whole requests by the
// `length` of their head.
#ifndef NORVD_REQUEST_PARSER_H
#define NORVD_REQUEST_PARSER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"

namespace norvd {

// The largest payload of any command of the command table. A head that
// announces more cannot be a request of ours.
constexpr int32_t kMaxPayload = static_cast<int32_t>(norv::wire::kMaxPayloadSize);

struct Request {
    int32_t command = 0;
    std::vector<uint8_t> payload;
};

class RequestParser {
public:
    enum class Status {
        kRequest,   // a whole request was taken out of the buffer
        kNeedMore,  // the buffer holds no whole request yet
        kMalformed  // the head cannot belong to a request; the buffer was emptied
    };

    // Appends bytes read from the device.
    void feed(const uint8_t *data, size_t len);

    // Takes the next whole request out of the buffer. On kMalformed, why says
    // what was wrong and every buffered byte is dropped: the stream has no
    // marker to find the next head by, and the bytes behind a bad head are as
    // likely garbage as the head itself.
    Status next(Request &out, std::string &why);

    // Forgets every buffered byte (the device's last client is gone).
    void reset() { buffer_.clear(); }

    size_t buffered() const { return buffer_.size(); }

private:
    std::vector<uint8_t> buffer_;
};

}  // namespace norvd

#endif  // NORVD_REQUEST_PARSER_H
