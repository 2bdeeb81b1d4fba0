// Reassembly and splitting of control requests read from a device.
#include <gtest/gtest.h>

#include "core/request_parser.h"
#include "support/scripted_peer.h"

namespace norvd {
namespace {

using norv::test::Bytes;
using norv::test::cat;
using norv::test::head;
using Status = RequestParser::Status;

Bytes payload(size_t n, uint8_t first) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
}

// Feeds bytes in chunks of the given size and collects every request.
std::vector<Request> parse_in_chunks(const Bytes &stream, size_t chunk, int *malformed = nullptr) {
    RequestParser parser;
    std::vector<Request> out;
    for (size_t off = 0; off < stream.size(); off += chunk) {
        parser.feed(stream.data() + off, std::min(chunk, stream.size() - off));
        Request r;
        std::string why;
        for (;;) {
            Status s = parser.next(r, why);
            if (s == Status::kNeedMore) break;
            if (s == Status::kMalformed) {
                if (malformed) ++*malformed;
                break;
            }
            out.push_back(r);
        }
    }
    return out;
}

TEST(RequestParser, SplitsMergedRequestsAndReassemblesPieces) {
    // Three clients' requests as they may come out of one device: a clock
    // read, a registration (184 payload bytes) and a receipt (16).
    Bytes stream = cat({head(2, 0), head(9, 184), payload(184, 1), head(10, 16), payload(16, 200)});
    for (size_t chunk : {stream.size(), size_t{1}, size_t{3}, size_t{7}, size_t{8}, size_t{100}}) {
        SCOPED_TRACE("chunk " + std::to_string(chunk));
        auto reqs = parse_in_chunks(stream, chunk);
        ASSERT_EQ(reqs.size(), 3u);
        EXPECT_EQ(reqs[0].command, 2);
        EXPECT_TRUE(reqs[0].payload.empty());
        EXPECT_EQ(reqs[1].command, 9);
        EXPECT_EQ(reqs[1].payload, payload(184, 1));
        EXPECT_EQ(reqs[2].command, 10);
        EXPECT_EQ(reqs[2].payload, payload(16, 200));
    }
}

TEST(RequestParser, WaitsForTheWholeRequest) {
    RequestParser parser;
    Bytes req = cat({head(6, 196), payload(196, 0)});
    Request r;
    std::string why;
    parser.feed(req.data(), 7);
    EXPECT_EQ(parser.next(r, why), Status::kNeedMore);
    parser.feed(req.data() + 7, req.size() - 8);
    EXPECT_EQ(parser.next(r, why), Status::kNeedMore);
    EXPECT_EQ(parser.buffered(), req.size() - 1);
    parser.feed(req.data() + req.size() - 1, 1);
    ASSERT_EQ(parser.next(r, why), Status::kRequest);
    EXPECT_EQ(r.command, 6);
    EXPECT_EQ(r.payload.size(), 196u);
    EXPECT_EQ(parser.buffered(), 0u);
}

TEST(RequestParser, BadLengthsAreMalformedAndDropTheBuffer) {
    struct Case {
        int32_t length;
        bool malformed;
    } cases[] = {{-1, true},  {INT32_MIN, true}, {1, true},    {6, true},  {198, true},
                 {200, true}, {INT32_MAX, true}, {0, false},   {4, false}, {196, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        RequestParser parser;
        Bytes bytes = cat({head(3, c.length), Bytes(12, 0xAA)});
        parser.feed(bytes.data(), bytes.size());
        Request r;
        std::string why;
        Status s = parser.next(r, why);
        if (c.malformed) {
            EXPECT_EQ(s, Status::kMalformed);
            EXPECT_EQ(parser.buffered(), 0u);
            EXPECT_NE(why.find(std::to_string(c.length)), std::string::npos) << why;
        } else {
            EXPECT_NE(s, Status::kMalformed);
        }
    }
}

TEST(RequestParser, ResynchronisesOnTheRequestsThatFollowGarbage) {
    int malformed = 0;
    RequestParser parser;
    Bytes garbage = {0xde, 0xad, 0xbe, 0xef, 0xff, 0xff, 0xff, 0xff, 1, 2, 3};
    parser.feed(garbage.data(), garbage.size());
    Request r;
    std::string why;
    EXPECT_EQ(parser.next(r, why), Status::kMalformed);
    ++malformed;
    Bytes good = head(3, 0);
    parser.feed(good.data(), good.size());
    ASSERT_EQ(parser.next(r, why), Status::kRequest);
    EXPECT_EQ(r.command, 3);
    EXPECT_EQ(malformed, 1);
}

TEST(RequestParser, UnknownCommandsAreFramedByTheirLength) {
    // The parser frames; what a command means is decided later.
    auto reqs = parse_in_chunks(cat({head(99, 8), payload(8, 5), head(-4, 0), head(2, 0)}), 5);
    ASSERT_EQ(reqs.size(), 3u);
    EXPECT_EQ(reqs[0].command, 99);
    EXPECT_EQ(reqs[0].payload, payload(8, 5));
    EXPECT_EQ(reqs[1].command, -4);
    EXPECT_EQ(reqs[2].command, 2);
}

TEST(RequestParser, ResetForgetsAPartialRequest) {
    RequestParser parser;
    Bytes partial = cat({head(10, 16), Bytes(5, 1)});
    parser.feed(partial.data(), partial.size());
    parser.reset();
    Bytes next = head(2, 0);
    parser.feed(next.data(), next.size());
    Request r;
    std::string why;
    ASSERT_EQ(parser.next(r, why), Status::kRequest);
    EXPECT_EQ(r.command, 2);
}

}  // namespace
}  // namespace norvd
