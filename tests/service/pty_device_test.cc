// A control channel device and how it tells whether clients hold it: any
// process but norvd and its own guards counts, wherever it stands.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "pty_device.h"

namespace norvd {
namespace {

class PtyDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/pty_device_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        ASSERT_TRUE(inotify_.valid());
        std::string why;
        dev_ = PtyDevice::create(dir_ + "/rtf", 4, inotify_.get(), why);
        ASSERT_NE(dev_, nullptr) << why;
    }
    void TearDown() override {
        pid_t guard = dev_ ? dev_->guard() : -1;
        dev_.reset();
        if (guard > 0) waitpid(guard, nullptr, 0);
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
    EXPECT_EQ(dev_->pts(), target);
    EXPECT_EQ(dev_->link(), dir_ + "/rtf4");
    std::string link = dev_->link();
    pid_t guard = dev_->guard();
    dev_.reset();
    waitpid(guard, nullptr, 0);
    EXPECT_NE(access(link.c_str(), F_OK), 0);
}

TEST_F(PtyDeviceTest, OnlyNorvdItselfHoldsAFreshDevice) { EXPECT_FALSE(dev_->opened_by_clients()); }

// A guard forked for another device holds copies of every descriptor of
// norvd's for a moment; its copy of this device's pty is not a client.
TEST_F(PtyDeviceTest, AChildOfNorvdIsNoClient) {
    pid_t child = holder(false);
    EXPECT_FALSE(dev_->opened_by_clients());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST_F(PtyDeviceTest, AnyOtherProcessIsAClient) {
    pid_t grandchild = holder(true);
    EXPECT_TRUE(dev_->opened_by_clients());
    kill(grandchild, SIGKILL);
    // Not our child: gone once /proc no longer lists it (init reaps it).
    for (int i = 0; i < 500 && kill(grandchild, 0) == 0; ++i) usleep(10000);
    EXPECT_FALSE(dev_->opened_by_clients());
}

}  // namespace
}  // namespace norvd
