// A control channel device: its link, and how its master tells whether any
// client holds it, whoever that client is.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "io/pty_device.h"

namespace norvd {
namespace {

class PtyDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/pty_device_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        std::string why;
        Fd slave;
        dev_ = PtyDevice::create(dir_ + "/rtf", 4, DeviceAccess{getuid(), getgid(), 0600}, slave, why);
        ASSERT_NE(dev_, nullptr) << why;
        // Until the guard's copy of the slave is closed, it counts as held.
        EXPECT_TRUE(dev_->held());
        slave.reset();
        inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        ASSERT_TRUE(inotify_.valid());
        ASSERT_TRUE(dev_->publish(inotify_.get(), why)) << why;
    }
    void TearDown() override {
        dev_.reset();
        rmdir(dir_.c_str());
    }

    // Starts a process that opens the device and waits to be killed: our
    // child, or (grandchild) a child of a child of ours that has exited.
    pid_t holder(bool grandchild) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            if (grandchild && fork() != 0) _exit(0);
            close(ready[0]);
            int fd = open(dev_->link().c_str(), O_RDWR | O_NOCTTY);
            pid_t self = fd >= 0 ? getpid() : -1;
            (void)!write(ready[1], &self, sizeof self);
            close(ready[1]);
            for (;;) pause();
        }
        close(ready[1]);
        if (grandchild) waitpid(pid, nullptr, 0);
        pid_t opened = -1;
        EXPECT_EQ(read(ready[0], &opened, sizeof opened), static_cast<ssize_t>(sizeof opened));
        close(ready[0]);
        EXPECT_GT(opened, 0) << "the holder could not open the device";
        return opened;
    }

    std::string dir_;
    Fd inotify_;
    std::unique_ptr<PtyDevice> dev_;
};

TEST_F(PtyDeviceTest, LinkLeadsToThePtyAndGoesWithTheDevice) {
    char target[64] = {};
    ASSERT_GT(readlink(dev_->link().c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(dev_->node(), target);
    EXPECT_EQ(dev_->link(), dir_ + "/rtf4");
    std::string link = dev_->link();
    dev_.reset();
    EXPECT_NE(access(link.c_str(), F_OK), 0);
}

// Any process that holds the device is a client, a child of ours as well as
// a stranger; the device is free again as soon as the last one is gone,
// however many there were.
TEST_F(PtyDeviceTest, HeldExactlyWhileAClientHoldsIt) {
    EXPECT_FALSE(dev_->held());
    pid_t child = holder(false);
    pid_t grandchild = holder(true);
    EXPECT_TRUE(dev_->held());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(dev_->held());
    kill(grandchild, SIGKILL);
    bool freed = false;
    for (int i = 0; i < 500 && !freed; ++i) {
        freed = !dev_->held();
        if (!freed) usleep(10000);
    }
    EXPECT_TRUE(freed);
}

// norvd's own look at what is unread opens the slave for a moment: that
// must neither count as a client afterwards nor lose a byte. What it takes
// back includes bytes still on their way through the kernel's worker.
TEST_F(PtyDeviceTest, UnreadBytesAreTakenBackExactly) {
    const uint8_t a[4] = {1, 2, 3, 4}, b[4] = {5, 6, 7, 8};
    ASSERT_TRUE(dev_->write_record(a, 4));
    ASSERT_TRUE(dev_->write_record(b, 4));
    int fd = open(dev_->link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    uint8_t got[4] = {};
    ASSERT_EQ(read(fd, got, 4), 4);
    EXPECT_EQ(got[0], 1);
    EXPECT_TRUE(dev_->held());
    close(fd);
    EXPECT_FALSE(dev_->held());

    uint8_t back[16] = {};
    ASSERT_EQ(dev_->take_back(back, sizeof back), 4u);
    EXPECT_EQ(back[0], 5);
    EXPECT_EQ(back[3], 8);
    for (int round = 0; round < 200; ++round) {
        ASSERT_TRUE(dev_->write_record(a, 4));
        ASSERT_EQ(dev_->take_back(back, sizeof back), 4u) << "round " << round;
        EXPECT_EQ(back[3], 4);
    }
    EXPECT_EQ(dev_->unread(), 0u);
    EXPECT_FALSE(dev_->held());

    // One close event, the client's: norvd's own looks raise none.
    char events[4096];
    ssize_t len = read(inotify_.get(), events, sizeof events);
    ASSERT_EQ(len, static_cast<ssize_t>(sizeof(inotify_event)));
    EXPECT_EQ(reinterpret_cast<inotify_event *>(events)->mask, static_cast<uint32_t>(IN_CLOSE_WRITE));
}

TEST_F(PtyDeviceTest, ARecordThatDoesNotFitIsNotWrittenAtAll) {
    uint8_t block[kUnreadLimit] = {};
    ASSERT_TRUE(dev_->write_record(block, kUnreadLimit - 3));
    // The kernel's count shows bytes once its worker has moved them.
    auto until_unread = [this](size_t n) {
        for (int i = 0; i < 1000 && dev_->unread() != n; ++i) usleep(1000);
        return dev_->unread() == n;
    };
    ASSERT_TRUE(until_unread(kUnreadLimit - 3));
    const uint8_t four[4] = {9, 9, 9, 9};
    EXPECT_FALSE(dev_->write_record(four, 4));
    EXPECT_TRUE(dev_->write_record(four, 3));
    ASSERT_TRUE(until_unread(kUnreadLimit));
    EXPECT_FALSE(dev_->write_record(four, 1));

    // A client that reads it all makes room again, though no write since
    // asked the kernel for its count.
    int fd = open(dev_->link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    size_t taken = 0;
    for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;) taken += static_cast<size_t>(n);
    EXPECT_EQ(taken, kUnreadLimit);
    EXPECT_TRUE(dev_->write_record(four, 4));
    close(fd);
}

// However fast a client takes its records, what it has read never counts
// against it.
TEST_F(PtyDeviceTest, AClientThatReadsEveryRecordIsNeverRefused) {
    int fd = open(dev_->link().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    uint8_t record[16] = {}, got[16] = {};
    for (int i = 0; i < 2000; ++i) {
        record[0] = static_cast<uint8_t>(i);
        ASSERT_TRUE(dev_->write_record(record, sizeof record)) << "record " << i;
        size_t have = 0;
        while (have < sizeof got) {
            ssize_t n = read(fd, got + have, sizeof got - have);
            ASSERT_GT(n, 0);
            have += static_cast<size_t>(n);
        }
        ASSERT_EQ(got[0], record[0]);
    }
    close(fd);
}

// With no limit on what clients leave unread, writes go on until the pty
// itself is full, and not one record is cut there: what the clients could
// read is exactly the records accepted, in order.
TEST_F(PtyDeviceTest, AFullPtyTakesWholeRecordsOnly) {
    dev_->unreadLimit = SIZE_MAX;
    std::vector<uint8_t> accepted;
    uint8_t record[200];
    for (size_t i = 0;; ++i) {
        size_t len = 1 + (i * 37) % sizeof record;
        for (size_t k = 0; k < len; ++k) record[k] = static_cast<uint8_t>(i + k);
        if (!dev_->write_record(record, len)) break;
        accepted.insert(accepted.end(), record, record + len);
        ASSERT_LT(accepted.size(), 1u << 20) << "the pty never filled";
    }
    EXPECT_GT(accepted.size(), kUnreadLimit);
    std::vector<uint8_t> back(accepted.size() + 4096);
    ASSERT_EQ(dev_->take_back(back.data(), back.size()), accepted.size());
    back.resize(accepted.size());
    EXPECT_TRUE(back == accepted);
}

}  // namespace
}  // namespace norvd
