// netsim: joins the machines of a test group through TUN devices and forwards
// their IPv4 packets with per-link delay, jitter and loss, delivering
// broadcasts to every other machine. The kernel here has no netem, so the
// group's network is emulated in user space.
//
//   netsim --machines N [--subnet 10.77.0.0] [--tun-prefix nsim] [--seed S]
//          [--log FILE] [--control FIFO] [--link "0>1 delay=5ms"]...
//   netsim --help | --version
//
// It creates the interfaces PREFIX0 .. PREFIX(N-1), prints "ready", and from
// then on forwards what machine i writes to PREFIXi. Moving each interface
// into its machine's network namespace and giving it an address is the
// caller's job. Settings lines (see LinkTable::apply) come from --link and,
// while it runs, from the control FIFO; "quit" there ends it, as do SIGINT
// and SIGTERM. The log has a line for each packet with its true transit time
// and, as base0_ns and base1_ns, CLOCK_BOOTTIME just before and just after
// netsim handed it to its receiver (for a lost one, when it was dropped): the
// packet reached the receiving machine between the two.
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "delay_queue.h"
#include "link_table.h"
#include "norv.h"
#include "packet_route.h"

using namespace netsim;

namespace {

volatile sig_atomic_t stopRequested = 0;
void on_signal(int) { stopRequested = 1; }

int64_t clock_ns(clockid_t id) {
    timespec ts;
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int open_tun(const std::string &name) {
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "open /dev/net/tun failed: %s\n", strerror(errno));
        return -1;
    }
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name.c_str());
    if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
        fprintf(stderr, "ioctl TUNSETIFF %s failed: %s\n", name.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

const char kUsage[] =
    "usage: netsim --machines N [--subnet A.B.C.0] [--tun-prefix P] [--seed S]\n"
    "              [--log FILE] [--control FIFO] [--link \"FROM>TO delay=.. jitter=.. loss=..\"]...\n"
    "       netsim --help | --version\n";

const char kHelp[] =
    "Joins N machines through the TUN devices P0 .. P(N-1) and forwards their IPv4\n"
    "packets with each link's delay, jitter and loss; prints \"ready\" once they exist.\n"
    "  --machines N      the number of machines, 2 to 254\n"
    "  --subnet A.B.C.0  the machines' /24 (default 10.77.0.0): A.B.C.255 reaches all\n"
    "  --tun-prefix P    the TUN devices' names are P0, P1, ... (default nsim)\n"
    "  --seed S          seed of the random jitter and loss (default 1)\n"
    "  --log FILE        append a line per packet with its true transit time\n"
    "  --control FIFO    read settings lines, and \"quit\", from FIFO while running\n"
    "  --link SETTING    a link's settings, e.g. \"0>1 delay=5ms jitter=1ms loss=0.1\"\n"
    "                    (\"0-1\" sets both directions); may be repeated\n"
    "  -h, --help        print this help and exit\n"
    "  --version         print the version and exit\n";

struct Options {
    int machines = 0;
    uint32_t subnet = 0x0A4D0000;  // 10.77.0.0
    std::string tunPrefix = "nsim", logPath, controlPath;
    uint64_t seed = 1;
    std::vector<std::string> links;
    bool help = false, version = false;  // asked for instead of a run
};

enum OptionId { kMachines = 256, kSubnet, kTunPrefix, kSeed, kLog, kControl, kLink, kVersion };
const option kOptions[] = {{"machines", required_argument, nullptr, kMachines},
                           {"subnet", required_argument, nullptr, kSubnet},
                           {"tun-prefix", required_argument, nullptr, kTunPrefix},
                           {"seed", required_argument, nullptr, kSeed},
                           {"log", required_argument, nullptr, kLog},
                           {"control", required_argument, nullptr, kControl},
                           {"link", required_argument, nullptr, kLink},
                           {"help", no_argument, nullptr, 'h'},
                           {"version", no_argument, nullptr, kVersion},
                           {nullptr, 0, nullptr, 0}};

// Parses the command line into o; returns what is wrong with it, or "".
std::string parse_options(int argc, char **argv, Options &o) {
    opterr = 0;  // the errors are ours to word, naming the option
    for (int c; (c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
        std::string v = optarg != nullptr ? optarg : "";
        char *end = nullptr;
        switch (c) {
        case kMachines:
            o.machines = static_cast<int>(strtol(v.c_str(), &end, 10));
            if (v.empty() || *end != '\0' || o.machines < 2 || o.machines > 254)
                return "--machines needs a number from 2 to 254";
            break;
        case kSubnet: {
            in_addr addr;
            if (inet_pton(AF_INET, v.c_str(), &addr) != 1) return "--subnet needs an IPv4 address";
            o.subnet = ntohl(addr.s_addr) & 0xFFFFFF00u;
            break;
        }
        case kTunPrefix: o.tunPrefix = v; break;
        case kSeed: o.seed = strtoull(v.c_str(), nullptr, 10); break;
        case kLog: o.logPath = v; break;
        case kControl: o.controlPath = v; break;
        case kLink: o.links.push_back(v); break;
        case 'h': o.help = true; return "";
        case kVersion: o.version = true; return "";
        case ':': return std::string(argv[optind - 1]) + " needs a value";
        default:
            // optopt: the short option not known, or a long option's own id
            // when it was given a value it does not take; 0 for an unknown
            // long option, which argv names whole.
            if (optopt >= kMachines) return std::string(argv[optind - 1]) + " takes no value";
            return "unknown option '" +
                   (optopt != 0 ? std::string("-") + static_cast<char>(optopt)
                                : std::string(argv[optind - 1])) +
                   "'";
        }
    }
    if (optind < argc) return std::string("unexpected argument '") + argv[optind] + "'";
    if (o.machines == 0) return "--machines is needed";
    return "";
}

// Leading UDP payload bytes written to the log: enough for a timed datagram's
// sender, kind, send stamp and elapsed time, so a test can match packets.
constexpr size_t kLoggedPayloadBytes = 20;

std::string hex_head(const PacketInfo &info) {
    std::string out;
    char b[3];
    for (size_t i = 0; i < info.udpPayloadLength && i < kLoggedPayloadBytes; ++i) {
        snprintf(b, sizeof b, "%02x", info.udpPayload[i]);
        out += b;
    }
    return out.empty() ? "-" : out;
}

void log_packet(FILE *log, const InFlight &p, const char *fate, int64_t transitNs, int64_t base0,
                int64_t base1) {
    if (log == nullptr) return;
    PacketInfo info;
    if (!parse_packet(p.packet->data(), p.packet->size(), info)) return;
    fprintf(log,
            "t=%lld from=%d to=%d len=%zu fate=%s transit_ns=%lld proto=%u sport=%u dport=%u head=%s "
            "base0_ns=%lld base1_ns=%lld\n",
            static_cast<long long>(clock_ns(CLOCK_REALTIME)), p.from, p.to, p.packet->size(), fate,
            static_cast<long long>(transitNs), info.protocol, info.srcPort, info.dstPort,
            hex_head(info).c_str(), static_cast<long long>(base0), static_cast<long long>(base1));
    fflush(log);
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    std::string wrong = parse_options(argc, argv, o);
    if (!wrong.empty()) {
        fprintf(stderr, "netsim: %s\n%s", wrong.c_str(), kUsage);
        return 2;
    }
    if (o.help) printf("%s%s", kUsage, kHelp);
    if (o.version) printf("netsim %s\n", NORV_VERSION);
    if (o.help || o.version) return 0;
    LinkTable links(o.machines);
    for (const std::string &l : o.links) {
        std::string err = links.apply(l);
        if (!err.empty()) {
            fprintf(stderr, "netsim: %s\n", err.c_str());
            return 2;
        }
    }
    FILE *log = nullptr;
    if (!o.logPath.empty() && (log = fopen(o.logPath.c_str(), "a")) == nullptr) {
        fprintf(stderr, "fopen %s failed: %s\n", o.logPath.c_str(), strerror(errno));
        return 1;
    }
    int control = -1;
    if (!o.controlPath.empty()) {
        // Read-write, so the FIFO never reports end of file between writers.
        control = open(o.controlPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (control < 0) {
            fprintf(stderr, "open %s failed: %s\n", o.controlPath.c_str(), strerror(errno));
            return 1;
        }
    }
    std::vector<int> tuns;
    for (int i = 0; i < o.machines; ++i) {
        int fd = open_tun(o.tunPrefix + std::to_string(i));
        if (fd < 0) return 1;
        tuns.push_back(fd);
    }
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    signal(SIGPIPE, SIG_IGN);
    printf("ready\n");
    fflush(stdout);

    std::mt19937_64 rng(o.seed);
    DelayQueue queue;
    std::vector<pollfd> fds;
    for (int fd : tuns) fds.push_back({fd, POLLIN, 0});
    if (control >= 0) fds.push_back({control, POLLIN, 0});
    std::string pendingControl;
    uint8_t buf[65536];

    while (!stopRequested) {
        int64_t now = clock_ns(CLOCK_MONOTONIC);
        while (!queue.empty() && queue.next_due() <= now) {
            InFlight p = queue.pop();
            int64_t base0 = clock_ns(CLOCK_BOOTTIME);
            ssize_t w = write(tuns[p.to], p.packet->data(), p.packet->size());
            int64_t base1 = clock_ns(CLOCK_BOOTTIME);
            int64_t transit = clock_ns(CLOCK_MONOTONIC) - p.arrivedNs;
            log_packet(log, p, w < 0 ? "failed" : "sent", transit, base0, base1);
            now = clock_ns(CLOCK_MONOTONIC);
        }
        timespec timeout{1, 0};
        if (!queue.empty()) {
            int64_t wait = queue.next_due() - now;
            if (wait < 0) wait = 0;
            timeout = {static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
        }
        if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0) continue;
        for (int i = 0; i < o.machines; ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            for (;;) {
                ssize_t n = read(tuns[i], buf, sizeof buf);
                if (n <= 0) break;
                int64_t arrived = clock_ns(CLOCK_MONOTONIC);
                PacketInfo info;
                if (!parse_packet(buf, static_cast<size_t>(n), info)) continue;
                auto packet = std::make_shared<const std::vector<uint8_t>>(buf, buf + n);
                for (int to : destinations(info, i, o.subnet, o.machines)) {
                    Fate fate = links.draw(i, to, rng);
                    InFlight p{arrived + fate.delayNs, 0, i, to, arrived, packet};
                    if (fate.lost) {
                        int64_t base = clock_ns(CLOCK_BOOTTIME);
                        log_packet(log, p, "lost", 0, base, base);
                    } else {
                        queue.push(std::move(p));
                    }
                }
            }
        }
        if (control >= 0 && (fds.back().revents & POLLIN)) {
            ssize_t n = read(control, buf, sizeof buf);
            if (n > 0) pendingControl.append(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
            size_t nl;
            while ((nl = pendingControl.find('\n')) != std::string::npos) {
                std::string line = pendingControl.substr(0, nl);
                pendingControl.erase(0, nl + 1);
                if (line == "quit") stopRequested = 1;
                else if (!line.empty()) {
                    std::string err = links.apply(line);
                    fprintf(stderr, "netsim: %s%s\n", err.empty() ? "set " : "", err.empty() ? line.c_str() : err.c_str());
                }
            }
        }
    }
    if (log) fclose(log);
    return 0;
}
