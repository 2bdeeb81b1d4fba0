// The lock that keeps a second norvd away: a second holder is turned away
// with the first one's pid and leaves the first one's file alone, a file left
// by a norvd that died stops no one, and the file goes with its holder. All
// in a scratch folder of its own.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "fd.h"
#include "setup/instance_lock.h"

namespace norvd {
namespace {

const std::string kServed = "/dev/rtf1";

class InstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/instance_lock_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        path_ = dir_ + "/.norvd.lock";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string bytes() const {
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::string refusal(const std::string &holder) {
        return "another norvd" + holder + " is already serving " + kServed + " on this machine; stop it first";
    }

    std::string dir_, path_;
    const std::string pid_ = std::to_string(getpid());
};

TEST_F(InstanceLockTest, OneHolderAtATime) {
    auto first = std::make_unique<InstanceLock>(path_, kServed);
    ASSERT_EQ(first->acquire(), "");
    EXPECT_EQ(bytes(), pid_ + "\n");
    {
        // Another descriptor of the file, as another norvd would have.
        InstanceLock second(path_, kServed);
        EXPECT_EQ(second.acquire(), refusal(" (pid " + pid_ + ")"));
    }
    // The one turned away took neither the file nor the lock.
    EXPECT_EQ(bytes(), pid_ + "\n");
    InstanceLock third(path_, kServed);
    EXPECT_EQ(third.acquire(), refusal(" (pid " + pid_ + ")"));

    first.reset();
    EXPECT_FALSE(std::filesystem::exists(path_));
    EXPECT_EQ(third.acquire(), "");
    EXPECT_EQ(bytes(), pid_ + "\n");
}

// A holder caught before it wrote its pid is still a holder.
TEST_F(InstanceLockTest, HolderWithoutPid) {
    norv::Fd other(open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(other.valid());
    ASSERT_EQ(flock(other.get(), LOCK_EX | LOCK_NB), 0);
    InstanceLock lock(path_, kServed);
    EXPECT_EQ(lock.acquire(), refusal(""));
    EXPECT_TRUE(std::filesystem::exists(path_));
}

// The file of a norvd that was killed holds a pid but no lock: it is taken,
// and its longer pid leaves nothing behind.
TEST_F(InstanceLockTest, FileOfADeadHolder) {
    std::ofstream(path_, std::ios::binary) << "4000000000\n";
    InstanceLock lock(path_, kServed);
    ASSERT_EQ(lock.acquire(), "");
    EXPECT_EQ(bytes(), pid_ + "\n");
}

TEST_F(InstanceLockTest, FileCannotBeMade) {
    const std::string path = dir_ + "/missing/.norvd.lock";
    InstanceLock lock(path, kServed);
    EXPECT_EQ(lock.acquire(), "open " + path + " failed: " + strerror(ENOENT));
}

}  // namespace
}  // namespace norvd
