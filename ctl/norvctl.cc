// norvctl.cc: asks the running norvd how it fares, over its control socket.
//
//   norvctl [-s PATH] [--json] status | peers | verdicts | connections | reload
//   norvctl --help | --version
//
// Writes one request line ("status" or "status json", and a line feed) to the
// socket, reads the answer until norvd closes the connection, and prints it:
// the body of an answer that starts with "ok" on standard output (status 0),
// the text of one that starts with "error: " on standard error (status 1).
// Options may come before or after the command, as with GNU tools ("--" ends
// them). The protocol is described in norvctl(1) and service/core/control_protocol.h.
#include <getopt.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "config/options.h"  // kDefaultControlSocketPath
#include "norv.h"

namespace {

const char kUsage[] =
    "usage: norvctl [-s PATH] [--json] COMMAND\n"
    "       norvctl --help | --version\n";

const char kHelp[] =
    "Asks the running norvd, over its control socket, and prints its answer.\n"
    "Commands:\n"
    "  status       machine, uptime, base clock and its synchronisation, connections,\n"
    "               registrations pending, notices waiting and dropped\n"
    "  peers        each peer: address, last message heard, messages accepted and\n"
    "               rejected by cause\n"
    "  verdicts     each machine of the group: timely, late and unknown verdicts,\n"
    "               lateness median, 99th percentile and maximum, over the last\n"
    "               minute and since start\n"
    "  connections  each connection: user, requests, registrations pending\n"
    "  reload       read the configuration file again (root only); the reason on\n"
    "               standard error and status 1 when the file is refused\n"
    "Options:\n"
    "  -s, --socket PATH  norvd's control socket (default /run/norvd.sock)\n"
    "  -j, --json         the answer as one line of JSON instead of a table\n"
    "  -h, --help         print this help and exit\n"
    "      --version      print the version and exit\n";

// How long norvctl waits for norvd; norvd itself ends a client after 5 s.
constexpr int kTimeoutS = 10;

enum OptionId { kVersion = 256 };
const option kOptions[] = {{"socket", required_argument, nullptr, 's'},
                           {"json", no_argument, nullptr, 'j'},
                           {"help", no_argument, nullptr, 'h'},
                           {"version", no_argument, nullptr, kVersion},
                           {nullptr, 0, nullptr, 0}};

int bad_usage(const std::string &what) {
    fprintf(stderr, "norvctl: %s\n%s", what.c_str(), kUsage);
    return 1;
}

int fail(const std::string &what) {
    fprintf(stderr, "norvctl: %s\n", what.c_str());
    return 1;
}

std::string failed(const std::string &call) { return call + " failed: " + strerror(errno); }

// A command is one word of printable characters: it goes on the request line
// as it is.
bool one_word(const std::string &w) {
    if (w.empty()) return false;
    for (unsigned char c : w)
        if (c <= 0x20 || c >= 0x7f) return false;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    std::string path = norvd::kDefaultControlSocketPath;
    bool json = false;
    opterr = 0;
    for (;;) {
        int c = getopt_long(argc, argv, ":s:jh", kOptions, nullptr);
        if (c == -1) break;
        switch (c) {
        case 's':
            path = optarg;
            break;
        case 'j':
            json = true;
            break;
        case 'h':
            printf("%s%s", kUsage, kHelp);
            return 0;
        case kVersion:
            printf("norvctl %s\n", NORV_VERSION);
            return 0;
        case ':':
            return bad_usage(std::string(argv[optind - 1]) + " needs a value");
        default:
            return bad_usage("unknown option '" + std::string(argv[optind - 1]) + "'");
        }
    }
    if (optind == argc) return bad_usage("a command is needed: status, peers, verdicts, connections or reload");
    if (argc - optind > 1) return bad_usage("one command at a time, not '" + std::string(argv[optind + 1]) + "' too");
    std::string command = argv[optind];
    if (!one_word(command)) return bad_usage("a command is one word: status, peers, verdicts, connections or reload");

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return fail("socket path too long: " + path);
    memcpy(addr.sun_path, path.data(), path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(failed("socket"));
    timeval tv{kTimeoutS, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) {
        std::string why = failed("connect " + path);
        if (errno == ENOENT || errno == ECONNREFUSED) why += " (is norvd running?)";
        if (errno == EACCES) why += " (only root and the members of norvd's group may ask)";
        return fail(why);
    }
    std::string request = command + (json ? " json\n" : "\n");
    for (size_t done = 0; done < request.size();) {
        ssize_t n = send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        // norvd may have answered and closed before the request went out
        // (it turns clients away when it serves too many): read its answer.
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) break;
        if (n < 0) return fail(failed("send to " + path));
        done += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    std::string answer;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        // A connection that norvd closed with our request unread is reset
        // after its answer: the end, as far as the answer is concerned.
        if (n < 0 && errno == ECONNRESET && !answer.empty()) break;
        if (n < 0) return fail(errno == EAGAIN ? "no answer from " + path + " within " + std::to_string(kTimeoutS) + " s"
                                               : failed("read from " + path));
        if (n == 0) break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    if (answer.rfind("ok\n", 0) == 0) {
        fwrite(answer.data() + 3, 1, answer.size() - 3, stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (answer.rfind("error: ", 0) == 0) {
        std::string text = answer.substr(7);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return fail(text);
    }
    return fail("not an answer of norvd from " + path + (answer.empty() ? " (nothing came)" : ""));
}
