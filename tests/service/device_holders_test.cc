// Who holds /dev/rtf1: reading a process's status, looking through a /proc
// tree (a made-up one, and the machine's own when run as root), whose a
// connection's devices are after the look, and the looks off the loop.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "fd.h"
#include "io/device_holders.h"
#include "io/holder_lookup.h"

namespace norvd {

using norv::Fd;

namespace {

TEST(DeviceHolders, ParseStatus) {
    const std::string head = "Name:\tNORVping\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t42\nPid:\t42\n";
    struct Case {
        std::string text;
        bool ok;
        pid_t parent;
        std::array<uid_t, 4> uids;
    } cases[] = {
        {head + "PPid:\t7\nTracerPid:\t0\nUid:\t1000\t1000\t1000\t1000\nGid:\t5\t5\t5\t5\n", true, 7,
         {1000, 1000, 1000, 1000}},
        // A setuid program: its uids differ.
        {head + "PPid:\t1\nUid:\t1000\t0\t0\t0\n", true, 1, {1000, 0, 0, 0}},
        {head + "PPid:\t0\nUid:\t4294967295\t0\t0\t0", true, 0, {4294967295u, 0, 0, 0}},
        // "TracerPid:" and "RUid:"-like keys must not be taken for the lines wanted.
        {"TracerPid:\t77\nPPid:\t3\nXUid:\t9 9 9 9\nUid:\t5 6 7 8\n", true, 3, {5, 6, 7, 8}},
        {head + "PPid:\t7\n", false, 0, {}},
        {head + "Uid:\t1 1 1 1\n", false, 0, {}},
        {head + "PPid:\t7\nUid:\t1\t1\t1\n", false, 0, {}},
        {head + "PPid:\t7\nUid:\t1\t1\t1\t1\t1\n", false, 0, {}},
        {head + "PPid:\t7\nUid:\t4294967296\t0\t0\t0\n", false, 0, {}},
        {head + "PPid:\t7\nUid:\t-1\t0\t0\t0\n", false, 0, {}},
        {head + "PPid:\tx\nUid:\t1 1 1 1\n", false, 0, {}},
        {"", false, 0, {}},
    };
    for (const Case &c : cases) {
        pid_t parent = -5;
        std::array<uid_t, 4> uids{9, 9, 9, 9};
        EXPECT_EQ(parse_status(c.text, parent, uids), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(parent, c.parent) << c.text;
        EXPECT_EQ(uids, c.uids) << c.text;
    }
}

Holder holder(pid_t pid, std::array<uid_t, 4> uids) {
    Holder h;
    h.pid = pid;
    h.parent = 1;
    h.uids = uids;
    return h;
}

TEST(DeviceHolders, DecideOwner) {
    struct Case {
        HolderScan scan;
        bool known;
        uid_t uid;
        const char *why;  // part of the reason when not known
    } cases[] = {
        {{{holder(5, {1000, 1000, 1000, 1000})}, ""}, true, 1000, ""},
        {{{holder(5, {0, 0, 0, 0}), holder(6, {0, 0, 0, 0})}, ""}, true, 0, ""},
        {{{holder(5, {65534, 65534, 65534, 65534}), holder(6, {0, 0, 0, 0})}, ""}, false, 0,
         "/dev/rtf1 is held by processes of several users (uids 0, 65534)"},
        // One process that may act as two users.
        {{{holder(5, {1000, 0, 0, 0})}, ""}, false, 0, "(uids 0, 1000)"},
        {{{holder(5, {1000, 1000, 1000, 0})}, ""}, false, 0, "(uids 0, 1000)"},
        {{{}, ""}, false, 0, "no process holds /dev/rtf1 any more"},
        // A failed look says nothing, even about the holders it found.
        {{{holder(5, {1000, 1000, 1000, 1000})}, "open /proc/9/fd failed: Permission denied"}, false, 0,
         "failed: open /proc/9/fd failed: Permission denied"},
    };
    for (const Case &c : cases) {
        Owner o = decide_owner(c.scan, "/dev/rtf1");
        EXPECT_EQ(o.known, c.known) << c.why;
        if (c.known) {
            EXPECT_EQ(o.uid, c.uid);
        } else {
            EXPECT_NE(o.why.find(c.why), std::string::npos) << o.why;
        }
    }
}

// A made-up /proc: process directories with an "fd" folder of links and a
// "status" file. The device is a plain file: what counts is that a link
// leads to it.
class FakeProc : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/device_holders_test.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root_ = dir;
        ASSERT_EQ(mkdir((root_ + "/proc").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root_ + "/pts").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((root_ + "/elsewhere").c_str(), 0755), 0);
        device_ = root_ + "/pts/7";
        write_file(device_, "");
        // Same name, another file.
        write_file(root_ + "/elsewhere/7", "");
        struct stat st {};
        ASSERT_EQ(stat(device_.c_str(), &st), 0);
        id_ = DeviceId{st.st_dev, st.st_ino, "7"};
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf " + root_).c_str()), 0); }

    static void write_file(const std::string &path, const std::string &text) {
        std::ofstream(path) << text;
    }

    // A process with descriptors leading to `targets` (0, 1, ...). A uid of
    // -1 leaves its status out, as for a process that has just ended.
    void process(pid_t pid, pid_t parent, uid_t uid, std::vector<std::string> targets) {
        std::string dir = root_ + "/proc/" + std::to_string(pid);
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir + "/fd").c_str(), 0755), 0);
        for (size_t i = 0; i < targets.size(); ++i)
            ASSERT_EQ(symlink(targets[i].c_str(), (dir + "/fd/" + std::to_string(i)).c_str()), 0);
        if (uid == static_cast<uid_t>(-1)) return;
        std::string u = std::to_string(uid);
        write_file(dir + "/status", "Name:\tp\nPPid:\t" + std::to_string(parent) + "\nUid:\t" + u + "\t" +
                                        u + "\t" + u + "\t" + u + "\n");
    }

    static std::vector<pid_t> pids(const HolderScan &scan) {
        std::vector<pid_t> out;
        for (const Holder &h : scan.holders) out.push_back(h.pid);
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string root_, device_;
    DeviceId id_;
};

TEST_F(FakeProc, FindsTheHoldersButNorvdsOwn) {
    process(100, 1, 1000, {"/dev/null", "socket:[1234]", device_});
    process(101, 1, 1001, {root_ + "/elsewhere/7", "pipe:[7]", "/dev/pts/17"});
    process(102, 1, 1002, {});
    process(103, 1, 1003, {device_, device_});
    // norvd (50), its keeper (51) and a guard (52): all left out.
    process(50, 1, 0, {device_});
    process(51, 50, 0, {device_});
    process(52, 51, 0, {device_});
    // Ended between the look at its descriptors and the one at its status.
    process(104, 1, -1, {device_});
    ASSERT_EQ(mkdir((root_ + "/proc/self").c_str(), 0755), 0);
    write_file(root_ + "/proc/uptime", "1.0 1.0\n");

    HolderScan scan = find_holders(root_ + "/proc", id_, {50, 51});
    EXPECT_EQ(scan.error, "");
    EXPECT_EQ(pids(scan), (std::vector<pid_t>{100, 103}));
    for (const Holder &h : scan.holders) {
        EXPECT_EQ(h.parent, 1);
        uid_t want = h.pid == 100 ? 1000 : 1003;
        EXPECT_EQ(h.uids, (std::array<uid_t, 4>{want, want, want, want}));
    }
    // Without the list of norvd's own, they hold the device as well.
    EXPECT_EQ(pids(find_holders(root_ + "/proc", id_, {})), (std::vector<pid_t>{50, 51, 52, 100, 103}));
}

TEST_F(FakeProc, AProcessThatCannotBeLookedAtFailsTheLook) {
    process(100, 1, 1000, {device_});
    // A descriptor folder that cannot be read is no proof that the process
    // holds nothing.
    ASSERT_EQ(mkdir((root_ + "/proc/200").c_str(), 0755), 0);
    write_file(root_ + "/proc/200/fd", "");
    HolderScan scan = find_holders(root_ + "/proc", id_, {});
    EXPECT_NE(scan.error.find("/proc/200/fd"), std::string::npos) << scan.error;
    EXPECT_FALSE(decide_owner(scan, "/dev/rtf1").known);

    ASSERT_EQ(unlink((root_ + "/proc/200/fd").c_str()), 0);
    ASSERT_EQ(rmdir((root_ + "/proc/200").c_str()), 0);
    // A holder whose status says nothing of its uids.
    process(300, 1, 1000, {device_});
    write_file(root_ + "/proc/300/status", "Name:\tp\nPPid:\t1\n");
    scan = find_holders(root_ + "/proc", id_, {});
    EXPECT_NE(scan.error.find("/proc/300/status"), std::string::npos) << scan.error;

    scan = find_holders(root_ + "/no-such-proc", id_, {});
    EXPECT_NE(scan.error.find("opendir"), std::string::npos) << scan.error;
}

// The look off the loop: asks made in a row, whether one look serves them
// or several, get their results in the order asked, each with its own token.
TEST_F(FakeProc, LookResultsComeInOrderEachWithItsToken) {
    process(100, 1, 1000, {device_});
    process(50, 1, 0, {device_});  // norvd
    std::string error;
    auto lookup = HolderLookup::start(root_ + "/proc", id_, "/dev/rtf1", error);
    ASSERT_TRUE(lookup) << error;
    const std::vector<uint32_t> tokens = {7, 3, 9, 1};
    for (uint32_t t : tokens) lookup->ask(t, {50});
    std::vector<uint32_t> served;
    pollfd p{lookup->fd(), POLLIN, 0};
    while (served.size() < tokens.size() && poll(&p, 1, 60'000) == 1) {
        for (HolderLookup::Result r; lookup->take(r);) {
            served.push_back(r.token);
            EXPECT_TRUE(r.owner.known) << r.owner.why;
            EXPECT_EQ(r.owner.uid, 1000u);
        }
    }
    EXPECT_EQ(served, tokens);
}

// The machine's own /proc: a child holds a fresh pty's slave. Looking at
// other users' processes needs root.
TEST(DeviceHolders, RealProcFindsAChildHoldingAPty) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to look at every process";
    Fd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(master.valid());
    ASSERT_EQ(unlockpt(master.get()), 0);
    char name[64];
    ASSERT_EQ(ptsname_r(master.get(), name, sizeof name), 0);
    struct stat st {};
    ASSERT_EQ(stat(name, &st), 0);
    std::string path = name;
    DeviceId id{st.st_dev, st.st_ino, path.substr(path.rfind('/') + 1)};

    EXPECT_EQ(find_holders("/proc", id, {}).holders.size(), 0u);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        int fd = open(name, O_RDWR | O_NOCTTY);
        (void)!write(ready[1], fd >= 0 ? "y" : "n", 1);
        for (;;) pause();
    }
    close(ready[1]);
    char opened = 0;
    ASSERT_EQ(read(ready[0], &opened, 1), 1);
    close(ready[0]);
    EXPECT_EQ(opened, 'y');
    HolderScan scan = find_holders("/proc", id, {});
    // The child of a process of norvd's is one of norvd's guards.
    HolderScan ours = find_holders("/proc", id, {getpid()});
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(scan.error, "");
    ASSERT_EQ(scan.holders.size(), 1u);
    EXPECT_EQ(scan.holders[0].pid, child);
    EXPECT_EQ(scan.holders[0].parent, getpid());
    EXPECT_EQ(scan.holders[0].uids, (std::array<uid_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(ours.error, "");
    EXPECT_EQ(ours.holders.size(), 0u);
}

}  // namespace
}  // namespace norvd
