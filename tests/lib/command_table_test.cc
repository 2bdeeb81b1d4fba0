// The command table against the bytes that really travel. For every command,
// the library operation that sends it must write one request whose head holds
// the command's number and payload size, and read exactly the reply size
// (bytes queued behind the reply stay unread); norvd must take that request
// whole and answer it with a reply of that size.
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "channel_io.h"
#include "core/commands.h"
#include "core/request_parser.h"
#include "norv.h"
#include "support/scripted_peer.h"
#include "wire.h"

namespace {

using namespace norv::wire;
using norv::test::Bytes;
using norv::test::cat;
using norv::test::ScriptedPeer;
namespace fs = std::filesystem;

// Bytes the test queues behind a reply: no operation may read them.
const Bytes kBehind = {0xB1, 0xB2, 0xB3, 0xB4, 0xB5};

// What crossed the device: the library's request, and what it left unread of
// the replies queued for it.
struct Travelled {
    Bytes request;
    Bytes unread;
};

using Send = std::function<void(int requestFd)>;

// Every command but 0, over a socketpair with a scripted peer.
Travelled over_request_device(const Command &c, const Send &send) {
    ScriptedPeer peer;
    peer.reply(Bytes(c.replySize, 0xFF));
    peer.reply(kBehind);
    send(peer.fd());
    Travelled t{peer.written(), {}};
    uint8_t rest[64];
    ssize_t n = recv(peer.fd(), rest, sizeof rest, MSG_DONTWAIT);
    if (n > 0) t.unread.assign(rest, rest + n);
    return t;
}

// Reads from fd until n bytes came or 5 s went by, then whatever else comes
// within 50 ms: a pseudo-terminal hands bytes over a little later.
Bytes read_within(int fd, size_t n) {
    Bytes out;
    uint8_t chunk[512];
    for (int wait = 5000; wait > 0;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait) <= 0) break;
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) break;
        out.insert(out.end(), chunk, chunk + got);
        if (out.size() >= n) wait = 50;
    }
    return out;
}

// Command 0, which goes to a device path: a raw pseudo-terminal whose slave
// stands at <dir>/rtf1.
Travelled over_registration_device(const Command &c) {
    char tmpl[] = "/tmp/norv-table.XXXXXX";
    fs::path dir = mkdtemp(tmpl);
    int master = -1, slave = -1;
    char name[64];
    Travelled t;
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
        termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        fs::create_symlink(name, dir / "rtf1");
        Bytes replies = cat({Bytes(c.replySize, 0xFF), kBehind});  // -1: refused
        (void)!write(master, replies.data(), replies.size());
        int req = -1, notice = -1;
        norv::open_connection_at((dir / "rtf").c_str(), &req, &notice);
        t.request = read_within(master, request::kHeadSize + c.payloadSize);
        t.unread = read_within(slave, kBehind.size());
        close(master);
        close(slave);
    }
    fs::remove_all(dir);
    return t;
}

// The operation that sends each command. Replies of all bits set make every
// one stop after its exchange: the send of command 9 is refused, so no
// datagram and no clock read follow.
std::map<int32_t, Send> senders() {
    static ActivityNames names{"module", "activity", "wcet"};
    static uint64_t first, second;
    static uint8_t byte;
    static TimedSocket s;
    auto timed = [](int fd) {
        init_session(&s, 0);
        s.udpSocket = -1;
        s.requestFd = fd;
        return &s;
    };
    return {
        {command::kDisconnect, [](int fd) { closeNORVConnection(dup(fd), -1); }},
        {command::kTimestamp, [](int fd) { getNORVTimestamp(fd); }},
        {command::kMachineId, [](int fd) { getNORVid(fd); }},
        {command::kStartMeasurement, [](int fd) { startNORVMeasurement(fd, 7); }},
        {command::kEndMeasurement, [](int fd) { endNORVMeasurement(fd, 1, &first, &second); }},
        {command::kStartExec, [](int fd) { startNORVExec(fd, 1, 2, 3, names, "text"); }},
        {command::kStartLocalFD, [](int fd) { startNORVlocalFD(fd, 1, 2, 3, names); }},
        {command::kEndLocalFD, [](int fd) { endNORVlocalFD(fd, 1, &first, &second, &byte); }},
        {command::kRegisterSend,
         [timed](int fd) {
             uint8_t buf[TIMED_HEADER_SIZE + 20] = {};
             sockaddr_in to{};
             to.sin_family = AF_INET;
             to.sin_port = htons(NORV_PING_PORT);
             NORVsendtoWFD(buf, 20, 0, reinterpret_cast<sockaddr *>(&to), sizeof to, 1,
                           NORV_PING_PORT, timed(fd), 100, 490, 2'000'000, names);
         }},
        {command::kReceipt, [](int fd) { notify_norv_of_receipt(fd, 0, 1, 100); }},
        {command::kBindServer,
         [timed](int fd) {
             sockaddr_in at{};
             at.sin_family = AF_INET;
             NORVbindserver(reinterpret_cast<sockaddr *>(&at), sizeof at, 3, timed(fd));
         }},
        {command::kSocketClose, [timed](int fd) { NORVsocketClose(timed(fd)); }},
    };
}

TEST(CommandTable, EveryCommandTravelsWithTheSizesOfItsRow) {
    auto send = senders();
    std::set<std::string> names;
    for (const Command &c : kCommands) {
        SCOPED_TRACE(std::to_string(c.number) + " " + c.name);
        EXPECT_TRUE(names.insert(c.name).second) << "name used twice";
        ASSERT_TRUE(c.number == command::kConnect || send.count(c.number) == 1)
            << "no operation sends this command";

        Travelled t = c.number == command::kConnect ? over_registration_device(c)
                                                    : over_request_device(c, send.at(c.number));
        const Bytes &w = t.request;
        ASSERT_EQ(w.size(), request::kHeadSize + c.payloadSize);
        EXPECT_EQ(get_i32le(w.data(), request::kCommand), c.number);
        EXPECT_EQ(get_i32le(w.data(), request::kLength), static_cast<int32_t>(c.payloadSize));
        EXPECT_EQ(t.unread, kBehind) << "the reply was not read at its size";

        // norvd takes the same bytes as one request and answers at the reply
        // size. Command 0 it answers on its registration device, not here.
        norvd::RequestParser parser;
        parser.feed(w.data(), w.size());
        norvd::Request request;
        std::string why;
        ASSERT_EQ(parser.next(request, why), norvd::RequestParser::Status::kRequest) << why;
        EXPECT_EQ(parser.buffered(), 0u);
        if (c.number == command::kConnect) continue;
        norvd::Log log([](const std::string &) {}, [] { return norvd::BaseTime(); },
                       norvd::Severity::kError);
        norvd::Service service({}, log);
        EXPECT_EQ(service.handle(1, request, norvd::BaseTime(1'000'000'000)).reply.size(), c.replySize);
    }
}

TEST(CommandTable, NorvdRefusesAHeadLongerThanTheLargestPayload) {
    Bytes head = norv::test::head(command::kStartExec, static_cast<int32_t>(kMaxPayloadSize + 4));
    norvd::RequestParser parser;
    parser.feed(head.data(), head.size());
    norvd::Request request;
    std::string why;
    EXPECT_EQ(parser.next(request, why), norvd::RequestParser::Status::kMalformed);
}

}  // namespace
