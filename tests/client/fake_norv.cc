// fake_norv.cc: a scripted stand-in for the local NORV service and for the
// program that answers pings, for the client's end-to-end tests. Run it only
// inside a private mount and network namespace: it puts its device links in
// the namespace's own /dev and binds 127.0.0.1:16006 there.
//
// The service side serves "rtf1" (registration), "rtfN" (requests) and
// "rtf(N+3)" (notices) as links to pseudo-terminals in raw mode, reads the
// requests as a byte stream framed by their head, answers them as scripted
// and logs each one:
//   req dev=rtfK cmd=C len=L payload=HEX reply=HEX
// The ping side logs every datagram that reaches 127.0.0.1:16006
//   udp from=A.B.C.D:PORT len=L hex=HEX
// and, with --answer, answers it with a timed datagram (kind 0, sender 0,
// registration id 0, zero echoes) carrying the given payload.
//
// A control FIFO takes lines at any time:
//   notice HEX     writes the 48 bytes on the notice device
//   stray HEX      sends the bytes as one datagram to the source of the last ping
//   close-notice   hangs up the notice device, so every later read fails
#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "wire.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace norv::wire;

[[noreturn]] void die(const char *what) {
    fprintf(stderr, "fake_norv: %s failed: %s\n", what, strerror(errno));
    exit(2);
}

std::string hex(const uint8_t *data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

Bytes unhex(const std::string &text) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

std::deque<long long> parse_list(const char *text) {
    std::deque<long long> out;
    std::string s(text);
    size_t start = 0;
    while (start < s.size()) {
        size_t comma = s.find(',', start);
        if (comma == std::string::npos) comma = s.size();
        // Base 0: decimal, or 0x... for clock readings with the top bit set.
        out.push_back(static_cast<long long>(std::stoull(s.substr(start, comma - start), nullptr, 0)));
        start = comma + 1;
    }
    return out;
}

struct Device {
    std::string name;
    int master = -1;
    int slave = -1;  // kept open so the master never sees a hang-up from the client
    Bytes pending;
};

struct Script {
    int channel = 5;
    long long connectReply = 5;
    bool stallConnect = false;
    long long id = 2;
    bool stallId = false;
    std::deque<long long> clocks;
    uint64_t clock = 1000000000;
    std::deque<long long> registrations;
    int32_t nextRegistration = 100;
    int32_t receipt = 0;
    bool answer = false;
    Bytes answerPayload;
};

int logFd = -1;

void log_line(const std::string &line) {
    std::string l = line + "\n";
    if (write(logFd, l.data(), l.size()) < 0) die("write log");
}

Device make_device(const std::string &dir, const std::string &name) {
    Device d;
    d.name = name;
    d.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (d.master < 0) die("posix_openpt");
    if (grantpt(d.master) < 0 || unlockpt(d.master) < 0) die("unlockpt");
    const char *slavePath = ptsname(d.master);
    if (!slavePath) die("ptsname");
    d.slave = open(slavePath, O_RDWR | O_NOCTTY);
    if (d.slave < 0) die("open slave");
    termios t;
    if (tcgetattr(d.slave, &t) < 0) die("tcgetattr");
    cfmakeraw(&t);
    if (tcsetattr(d.slave, TCSANOW, &t) < 0) die("tcsetattr");
    std::string link = dir + "/" + name;
    unlink(link.c_str());
    if (symlink(slavePath, link.c_str()) < 0) die("symlink");
    return d;
}

Bytes le(uint64_t v, int width) {
    Bytes b;
    for (int i = 0; i < width; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}

uint64_t next_clock(Script &s) {
    if (!s.clocks.empty()) {
        uint64_t v = static_cast<uint64_t>(s.clocks.front());
        s.clocks.pop_front();
        return v;
    }
    s.clock += 1000;
    return s.clock;
}

// Answers every whole request waiting in the device's stream.
void serve(Device &d, Script &s) {
    while (d.pending.size() >= request::kHeadSize) {
        int32_t command = get_i32le(d.pending.data(), request::kCommand);
        int32_t length = get_i32le(d.pending.data(), request::kLength);
        if (length < 0 || length > 4096) {
            log_line("bad dev=" + d.name + " head=" + hex(d.pending.data(), 8));
            d.pending.clear();
            return;
        }
        size_t total = request::kHeadSize + static_cast<size_t>(length);
        if (d.pending.size() < total) return;
        Bytes payload(d.pending.begin() + request::kHeadSize, d.pending.begin() + total);
        d.pending.erase(d.pending.begin(), d.pending.begin() + total);

        Bytes reply;
        bool stalled = false;
        switch (command) {
        case 0:
            if (s.stallConnect) stalled = true;
            else reply = le(static_cast<uint64_t>(s.connectReply), 4);
            break;
        case 2: reply = le(next_clock(s), 8); break;
        case 3:
            if (s.stallId) stalled = true;
            else reply = le(static_cast<uint64_t>(s.id), 4);
            break;
        case 9:
            if (!s.registrations.empty()) {
                reply = le(static_cast<uint64_t>(s.registrations.front()), 4);
                s.registrations.pop_front();
            } else {
                reply = le(static_cast<uint32_t>(s.nextRegistration++), 4);
            }
            break;
        case 10: reply = le(static_cast<uint32_t>(s.receipt), 4); break;
        default: break;  // 1, 11, 12 have no reply
        }
        // Logged before the reply goes out, so a test that sees the reply's
        // effects always finds the request in the log.
        log_line("req dev=" + d.name + " cmd=" + std::to_string(command) + " len=" +
                 std::to_string(length) + " payload=" + hex(payload.data(), payload.size()) +
                 " reply=" + (stalled ? std::string("stalled") : hex(reply.data(), reply.size())));
        if (!reply.empty() && write(d.master, reply.data(), reply.size()) < 0) die("write reply");
    }
}

void usage() {
    fprintf(stderr,
            "use: fake_norv --log FILE [--dir DIR] [--channel N] [--connect V] [--stall-connect]\n"
            "       [--id V] [--stall-id] [--clock V,V...] [--register V,V...] [--receipt V]\n"
            "       [--answer HEX] [--control FIFO] [--ready FILE]\n");
    exit(2);
}

}  // namespace

int main(int argc, char *argv[]) {
    Script s;
    std::string dir = "/dev", logPath, controlPath, readyPath;
    bool connectGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (a == "--log") logPath = value();
        else if (a == "--dir") dir = value();
        else if (a == "--channel") s.channel = atoi(value());
        else if (a == "--connect") { s.connectReply = atoll(value()); connectGiven = true; }
        else if (a == "--stall-connect") s.stallConnect = true;
        else if (a == "--id") s.id = atoll(value());
        else if (a == "--stall-id") s.stallId = true;
        else if (a == "--clock") s.clocks = parse_list(value());
        else if (a == "--register") s.registrations = parse_list(value());
        else if (a == "--receipt") s.receipt = atoi(value());
        else if (a == "--answer") { s.answer = true; s.answerPayload = unhex(value()); }
        else if (a == "--control") controlPath = value();
        else if (a == "--ready") readyPath = value();
        else usage();
    }
    if (logPath.empty()) usage();
    if (!connectGiven) s.connectReply = s.channel;

    logFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0644);
    if (logFd < 0) die("open log");

    std::vector<Device> devices;
    devices.push_back(make_device(dir, "rtf1"));
    devices.push_back(make_device(dir, "rtf" + std::to_string(s.channel)));
    devices.push_back(make_device(dir, "rtf" + std::to_string(s.channel + 3)));
    Device &noticeDevice = devices[2];

    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    if (udp < 0) die("socket");
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_port = htons(NORV_PING_PORT);
    here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(udp, reinterpret_cast<sockaddr *>(&here), sizeof here) < 0) die("bind");

    int control = -1;
    if (!controlPath.empty()) {
        unlink(controlPath.c_str());
        if (mkfifo(controlPath.c_str(), 0600) < 0) die("mkfifo");
        // Read-write, so the FIFO never reports end of file between writers.
        control = open(controlPath.c_str(), O_RDWR | O_NONBLOCK);
        if (control < 0) die("open control");
    }
    std::string controlText;

    if (!readyPath.empty()) {
        int fd = open(readyPath.c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd < 0) die("open ready");
        close(fd);
    }

    sockaddr_in lastPing{};
    bool havePing = false;
    for (;;) {
        std::vector<pollfd> fds;
        for (Device &d : devices) fds.push_back({d.master, POLLIN, 0});
        fds.push_back({udp, POLLIN, 0});
        if (control >= 0) fds.push_back({control, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            die("poll");
        }
        for (size_t i = 0; i < devices.size(); ++i) {
            if (!(fds[i].revents & POLLIN) || devices[i].master < 0) continue;
            uint8_t chunk[4096];
            ssize_t n = read(devices[i].master, chunk, sizeof chunk);
            if (n > 0) {
                devices[i].pending.insert(devices[i].pending.end(), chunk, chunk + n);
                serve(devices[i], s);
            }
        }
        if (fds[devices.size()].revents & POLLIN) {
            uint8_t datagram[2048];
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            ssize_t n = recvfrom(udp, datagram, sizeof datagram, 0,
                                 reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (n >= 0) {
                lastPing = from;
                havePing = true;
                log_line(std::string("udp from=") + inet_ntoa(from.sin_addr) + ":" +
                         std::to_string(ntohs(from.sin_port)) + " len=" + std::to_string(n) +
                         " hex=" + hex(datagram, static_cast<size_t>(n)));
                if (s.answer) {
                    Bytes out(header::kSize + s.answerPayload.size(), 0);
                    put_u8(out.data(), header::kSenderId, 0);
                    put_u8(out.data(), header::kKind, 0);
                    put_u64le(out.data(), header::kSendStamp, 5000000);
                    put_u64le(out.data(), header::kElapsed, 1000);
                    put_i32le(out.data(), header::kRegistrationId, 0);
                    if (!s.answerPayload.empty())
                        memcpy(out.data() + header::kSize, s.answerPayload.data(),
                               s.answerPayload.size());
                    if (sendto(udp, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from),
                               sizeof from) < 0)
                        die("sendto answer");
                    log_line("answered len=" + std::to_string(out.size()));
                }
            }
        }
        if (control >= 0 && (fds[devices.size() + 1].revents & POLLIN)) {
            char chunk[4096];
            ssize_t n = read(control, chunk, sizeof chunk);
            if (n > 0) controlText.append(chunk, static_cast<size_t>(n));
            size_t eol;
            while ((eol = controlText.find('\n')) != std::string::npos) {
                std::string line = controlText.substr(0, eol);
                controlText.erase(0, eol + 1);
                if (line.rfind("notice ", 0) == 0) {
                    Bytes b = unhex(line.substr(7));
                    if (noticeDevice.master >= 0 &&
                        write(noticeDevice.master, b.data(), b.size()) < 0)
                        die("write notice");
                    log_line("wrote notice len=" + std::to_string(b.size()));
                } else if (line.rfind("stray ", 0) == 0 && havePing) {
                    Bytes b = unhex(line.substr(6));
                    if (sendto(udp, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&lastPing),
                               sizeof lastPing) < 0)
                        die("sendto stray");
                    log_line("sent stray len=" + std::to_string(b.size()));
                } else if (line == "close-notice") {
                    close(noticeDevice.master);
                    close(noticeDevice.slave);
                    noticeDevice.master = noticeDevice.slave = -1;
                    log_line("closed notice");
                } else {
                    log_line("unknown control: " + line);
                }
            }
        }
    }
}
