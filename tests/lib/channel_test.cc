// Control channel operations against a scripted service on a socketpair, and
// connection set-up against pseudo-terminals served from a private directory.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "channel_io.h"
#include "norv.h"
#include "support/scripted_peer.h"

using namespace norv::test;
namespace fs = std::filesystem;

TEST(Channel, TimestampAndGettimeSendCommand2AndReturnTheReply) {
    for (auto call : {getNORVTimestamp, gettime}) {
        ScriptedPeer peer;
        peer.reply(le64(0x8877665544332211ULL));
        EXPECT_EQ(call(peer.fd()), 0x8877665544332211ULL);
        EXPECT_EQ(peer.written(), head(2, 0));
    }
}

TEST(Channel, MachineIdPassesNegativeAnswersThrough) {
    for (int32_t answer : {0, 4, -7}) {
        ScriptedPeer peer;
        peer.reply(le32(static_cast<uint32_t>(answer)));
        EXPECT_EQ(getNORVid(peer.fd()), answer);
        EXPECT_EQ(peer.written(), head(3, 0));
    }
}

TEST(Channel, ReceiptNotificationWritesTheExact24Bytes) {
    ScriptedPeer peer;
    peer.reply(le32(1));
    EXPECT_EQ(notify_norv_of_receipt(peer.fd(), 0xAB, -2, 0x0102030405060708ULL), 1);
    Bytes expected = cat({head(10, 16), le32(0xFFFFFFFE), le64(0x0102030405060708ULL),
                          Bytes{0xAB, 0, 0, 0}});
    EXPECT_EQ(peer.written(), expected);
}

TEST(Channel, FailedExchangesReturnMinusOneWithAllBitsForClock) {
    // A descriptor that is not open: the write fails with EBADF.
    errno = 0;
    EXPECT_EQ(getNORVTimestamp(-1), UINT64_MAX);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(gettime(-1), UINT64_MAX);
    EXPECT_EQ(getNORVid(-1), -1);
    EXPECT_EQ(notify_norv_of_receipt(-1, 0, 1, 1), -1);

    // The service goes away before it answers: end of file is a failure.
    ScriptedPeer peer;
    peer.hang_up();
    EXPECT_EQ(getNORVTimestamp(peer.fd()), UINT64_MAX);

    // A reply cut short by the service's end is a failure too.
    ScriptedPeer shortPeer;
    shortPeer.reply(Bytes{1, 2, 3});
    shortPeer.hang_up();
    EXPECT_EQ(getNORVTimestamp(shortPeer.fd()), UINT64_MAX);
}

TEST(Channel, ReplyArrivingInPiecesIsReadWhole) {
    ScriptedPeer peer;
    Bytes reply = le64(0x1122334455667788ULL);
    std::thread service([&] {
        peer.reply(Bytes(reply.begin(), reply.begin() + 3));
        usleep(20000);
        peer.reply(Bytes(reply.begin() + 3, reply.end()));
    });
    EXPECT_EQ(getNORVTimestamp(peer.fd()), 0x1122334455667788ULL);
    service.join();
}

TEST(Channel, CloseSendsCommand1ReadsNothingAndClosesBoth) {
    ScriptedPeer request, notice;
    // A queued byte must stay unread: the take-down expects no reply.
    request.reply(Bytes{0x5A});
    int noticeFd = notice.fd();
    EXPECT_EQ(closeNORVConnection(request.fd(), noticeFd), 0);
    EXPECT_FALSE(fd_is_open(request.fd()));
    EXPECT_FALSE(fd_is_open(noticeFd));
    request.forget_library_fd();
    notice.forget_library_fd();
}

TEST(Channel, CloseWhoseWriteFailsClosesNothing) {
    ScriptedPeer notice;
    EXPECT_EQ(closeNORVConnection(-1, notice.fd()), -1);
    EXPECT_TRUE(fd_is_open(notice.fd()));
}

TEST(Channel, WaitInfoDeliversWholeNoticesInOrder) {
    ScriptedPeer peer;
    Bytes first(48), second(48);
    for (int i = 0; i < 48; ++i) {
        first[i] = static_cast<uint8_t>(i);
        second[i] = static_cast<uint8_t>(200 + i);
    }
    peer.reply(cat({first, second}));
    uint8_t record[48];
    ASSERT_EQ(NORVwaitInfo(peer.fd(), record), 0);
    EXPECT_EQ(Bytes(record, record + 48), first);
    ASSERT_EQ(NORVwaitInfo(peer.fd(), record), 0);
    EXPECT_EQ(Bytes(record, record + 48), second);
}

TEST(Channel, WaitInfoRejectsAShortNoticeAndLeavesTheBufferAlone) {
    ScriptedPeer peer;
    peer.reply(Bytes(47, 0xEE));
    peer.hang_up();
    uint8_t record[48];
    std::memset(record, 0x11, sizeof record);
    EXPECT_EQ(NORVwaitInfo(peer.fd(), record), -1);
    EXPECT_EQ(Bytes(record, record + 48), Bytes(48, 0x11));
    EXPECT_EQ(NORVwaitInfo(-1, record), -1);
}

// ---- Connection set-up against pseudo-devices ---------------------------------

namespace {

// A raw pseudo-terminal whose slave stands at a path of a private directory,
// the way the service offers its FIFOs.
struct PseudoDevice {
    int master = -1, slave = -1;
    dev_t rdev = 0;
    PseudoDevice(const fs::path &at) {
        char name[64];
        openpty(&master, &slave, name, nullptr, nullptr);
        termios t;
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        fs::create_symlink(name, at);
        struct stat st;
        stat(name, &st);
        rdev = st.st_rdev;
    }
    ~PseudoDevice() {
        close(master);
        close(slave);
    }
};

// A named FIFO: opens of it show up in the directory's inotify events, unlike
// opens through a symbolic link.
void make_fifo(const fs::path &at) { mkfifo(at.c_str(), 0600); }

dev_t rdev_of(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_rdev : 0;
}

class Connection : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/norv-channel.XXXXXX";
        dir = mkdtemp(tmpl);
        prefix = (dir / "rtf").string();
        watch = inotify_init1(IN_NONBLOCK);
        inotify_add_watch(watch, dir.c_str(), IN_OPEN);
    }
    void TearDown() override {
        close(watch);
        fs::remove_all(dir);
    }
    // Answers the registration on the device with the given channel number,
    // after checking that the request is command 0 without payload.
    std::thread serve_registration(PseudoDevice &dev, int32_t answer) {
        return std::thread([&dev, answer] {
            uint8_t req[8];
            if (norv::read_full(dev.master, req, 8) == 0 && Bytes(req, req + 8) == head(0, 0)) {
                Bytes reply = le32(static_cast<uint32_t>(answer));
                (void)!write(dev.master, reply.data(), reply.size());
            }
        });
    }
    // Names of the entries of the directory that were opened so far.
    std::set<std::string> opened() {
        std::set<std::string> names;
        alignas(inotify_event) char buf[4096];
        ssize_t n;
        while ((n = read(watch, buf, sizeof buf)) > 0) {
            for (char *p = buf; p < buf + n;) {
                auto *ev = reinterpret_cast<inotify_event *>(p);
                if (ev->len) names.insert(ev->name);
                p += sizeof(inotify_event) + ev->len;
            }
        }
        return names;
    }
    fs::path dir;
    std::string prefix;
    int watch = -1;
};

}  // namespace

TEST_F(Connection, NoServiceLeavesOutParametersUntouched) {
    int req = 1234, notice = 5678;
    EXPECT_EQ(norv::open_connection_at(prefix.c_str(), &req, &notice), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(req, 1234);
    EXPECT_EQ(notice, 5678);
}

TEST_F(Connection, RefusalIsReturnedAndNoChannelIsOpened) {
    PseudoDevice reg(dir / "rtf1");
    make_fifo(dir / "rtf-5");
    make_fifo(dir / "rtf-2");
    auto service = serve_registration(reg, -5);
    int req = 1234, notice = 5678;
    EXPECT_EQ(norv::open_connection_at(prefix.c_str(), &req, &notice), -5);
    service.join();
    EXPECT_EQ(req, 1234);
    EXPECT_EQ(notice, 5678);
    EXPECT_TRUE(opened().empty());
}

TEST_F(Connection, ChannelZeroOpensRtf0AndRtf3) {
    PseudoDevice reg(dir / "rtf1"), c0(dir / "rtf0"), c3(dir / "rtf3");
    auto service = serve_registration(reg, 0);
    int req = -1, notice = -1;
    ASSERT_EQ(norv::open_connection_at(prefix.c_str(), &req, &notice), 0);
    service.join();
    EXPECT_EQ(rdev_of(req), c0.rdev);
    EXPECT_EQ(rdev_of(notice), c3.rdev);
    close(req);
    close(notice);
}

TEST_F(Connection, MissingNoticeDeviceClosesTheRequestDeviceAgain) {
    PseudoDevice reg(dir / "rtf1"), c7(dir / "rtf7");
    auto service = serve_registration(reg, 7);
    int req = -1, notice = 5678;
    EXPECT_EQ(norv::open_connection_at(prefix.c_str(), &req, &notice), -1);
    service.join();
    EXPECT_EQ(errno, ENOENT);
    EXPECT_GE(req, 0);
    EXPECT_FALSE(fd_is_open(req));
    EXPECT_EQ(notice, -1);
}

TEST_F(Connection, MissingRequestDeviceStoresMinusOne) {
    PseudoDevice reg(dir / "rtf1"), c12(dir / "rtf12");
    auto service = serve_registration(reg, 9);
    int req = 1234, notice = 5678;
    EXPECT_EQ(norv::open_connection_at(prefix.c_str(), &req, &notice), -1);
    service.join();
    EXPECT_EQ(req, -1);
    EXPECT_EQ(notice, 5678);
}

TEST_F(Connection, RegistrationDeviceIsClosedAfterTheExchange) {
    PseudoDevice reg(dir / "rtf1"), c4(dir / "rtf4"), c7(dir / "rtf7");
    auto service = serve_registration(reg, 4);
    int req = -1, notice = -1;
    ASSERT_EQ(norv::open_connection_at(prefix.c_str(), &req, &notice), 0);
    service.join();
    // Besides the test's own descriptors, only the two channel devices stay open.
    int openOnRegistration = 0;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        struct stat st;
        if (stat(entry.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == reg.rdev)
            ++openOnRegistration;
    }
    EXPECT_EQ(openOnRegistration, 1);  // the test's own slave descriptor
    close(req);
    close(notice);
}

TEST_F(Connection, ChannelNumberNearTheLimitDoesNotOverflow) {
    // N + 3 must not wrap to a negative channel number.
    PseudoDevice reg(dir / "rtf1");
    make_fifo(dir / "rtf2147483647");
    make_fifo(dir / "rtf-2147483646");
    auto service = serve_registration(reg, 2147483647);
    int req = -1, notice = -1;
    EXPECT_EQ(norv::open_connection_at(prefix.c_str(), &req, &notice), -1);
    service.join();
    EXPECT_FALSE(fd_is_open(req));
    EXPECT_EQ(opened(), std::set<std::string>{"rtf2147483647"});
}

TEST(ConnectionDefault, UsesTheSystemDevicePaths) {
    // Without a service on this machine the registration device is absent.
    if (access("/dev/rtf1", F_OK) == 0) GTEST_SKIP() << "a service runs here";
    int req = 1, notice = 2;
    EXPECT_EQ(openNORVConnection(&req, &notice), -1);
    EXPECT_EQ(req, 1);
    EXPECT_EQ(notice, 2);
}
