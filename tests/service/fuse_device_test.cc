// A device served through norvd's FUSE file system, without a mount: the
// out-queue that clients read, the in-buffer that norvd reads, and the count
// of open handles that tells whether a client holds it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "io/fuse_device.h"

namespace norvd {
namespace {

FuseDevice make_device() { return FuseDevice("/dev/rtf", 4, "/run/norvd/devices/rtf4", 77, 9, DeviceAccess{}); }

TEST(FuseDevice, Names) {
    FuseDevice dev = make_device();
    EXPECT_EQ(dev.link(), "/dev/rtf4");
    EXPECT_EQ(dev.node(), "/run/norvd/devices/rtf4");
    dev_t d = 0;
    ino_t i = 0;
    ASSERT_TRUE(dev.node_id(d, i));
    EXPECT_EQ(d, 77u);
    EXPECT_EQ(i, 9u);
}

// Each step acts on the device, then the counts are compared.
TEST(FuseDevice, Queues) {
    enum Op { kOpen, kRelease, kWrite, kClientRead, kClientWrite, kRead, kTakeBack };
    struct Step {
        Op op;
        size_t n;          // bytes written or room given
        long got;          // write: 1 taken, 0 refused; reads: bytes, or -errno
        size_t unread;     // unread() after
        bool held;         // held() after
    };
    const size_t limit = kUnreadLimit;
    struct Case {
        const char *name;
        std::vector<Step> steps;
    } cases[] = {
        {"nothing written, no client: EIO", {{kRead, 16, -EIO, 0, false}}},
        {"nothing written, a client: EAGAIN", {{kOpen, 0, 0, 0, true}, {kRead, 16, -EAGAIN, 0, true}}},
        {"records queue until read",
         {{kWrite, 10, 1, 10, false}, {kWrite, 6, 1, 16, false}, {kClientRead, 12, 12, 4, false},
          {kClientRead, 12, 4, 0, false}, {kClientRead, 12, 0, 0, false}}},
        {"a record that would pass the limit is refused whole",
         {{kWrite, limit - 4, 1, limit - 4, false}, {kWrite, 5, 0, limit - 4, false},
          {kWrite, 4, 1, limit, false}, {kWrite, 1, 0, limit, false}}},
        {"take_back empties the queue and counts all",
         {{kWrite, 300, 1, 300, false}, {kTakeBack, 100, 300, 0, false}, {kWrite, 1, 1, 1, false}}},
        {"what clients wrote is read in pieces, then EAGAIN while held",
         {{kOpen, 0, 0, 0, true}, {kClientWrite, 20, 0, 0, true}, {kRead, 8, 8, 0, true},
          {kRead, 64, 12, 0, true}, {kRead, 64, -EAGAIN, 0, true}}},
        {"input left by the last client is still read, then EIO",
         {{kOpen, 0, 0, 0, true}, {kOpen, 0, 0, 0, true}, {kClientWrite, 5, 0, 0, true},
          {kRelease, 0, 0, 0, true}, {kRelease, 0, 0, 0, false}, {kRead, 64, 5, 0, false},
          {kRead, 64, -EIO, 0, false}}},
        {"a release without an open leaves the count at 0", {{kRelease, 0, 0, 0, false}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FuseDevice dev = make_device();
        int wrote = 0;
        dev.wrote = [&wrote] { ++wrote; };
        int writes = 0;
        uint8_t fill = 0;
        for (const Step &s : c.steps) {
            std::vector<uint8_t> bytes(s.n);
            for (auto &b : bytes) b = fill++;
            std::vector<uint8_t> buf(s.n + 1);
            long got = 0;
            switch (s.op) {
            case kOpen:
                dev.opened();
                break;
            case kRelease:
                dev.released();
                break;
            case kWrite:
                got = dev.write_record(bytes.data(), bytes.size()) ? 1 : 0;
                writes += static_cast<int>(got);
                break;
            case kClientRead: {
                std::string out;
                got = static_cast<long>(dev.client_read(out, s.n));
                EXPECT_EQ(out.size(), static_cast<size_t>(got));
                break;
            }
            case kClientWrite:
                dev.client_write(bytes.data(), bytes.size());
                break;
            case kRead: {
                errno = 0;
                ssize_t r = dev.read_input(buf.data(), s.n);
                got = r < 0 ? -errno : r;
                break;
            }
            case kTakeBack:
                got = static_cast<long>(dev.take_back(buf.data(), s.n));
                break;
            }
            EXPECT_EQ(got, s.got) << "step " << &s - c.steps.data();
            EXPECT_EQ(dev.unread(), s.unread) << "step " << &s - c.steps.data();
            EXPECT_EQ(dev.held(), s.held) << "step " << &s - c.steps.data();
        }
        EXPECT_EQ(wrote, writes);
    }
}

// Bytes come out in the order they went in, on both sides.
TEST(FuseDevice, Order) {
    FuseDevice dev = make_device();
    const uint8_t a[] = {1, 2, 3}, b[] = {4, 5};
    ASSERT_TRUE(dev.write_record(a, sizeof a));
    ASSERT_TRUE(dev.write_record(b, sizeof b));
    std::string out;
    dev.client_read(out, 4);
    EXPECT_EQ(out, std::string("\x01\x02\x03\x04"));
    uint8_t back[4] = {};
    EXPECT_EQ(dev.take_back(back, sizeof back), 1u);
    EXPECT_EQ(back[0], 5);

    dev.opened();
    dev.client_write(a, sizeof a);
    dev.client_write(b, sizeof b);
    uint8_t in[8] = {};
    ASSERT_EQ(dev.read_input(in, sizeof in), 5);
    EXPECT_EQ(std::vector<uint8_t>(in, in + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace norvd
