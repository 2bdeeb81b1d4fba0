// address_check.cc: the peer and bind addresses norvd refuses.
#include "config/address_check.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "io/log.h"

namespace norvd {

namespace {

constexpr uint32_t kAny = 0;
constexpr uint32_t kBroadcast = 0xffffffffu;

bool multicast(uint32_t addr) { return (addr >> 28) == 0xe; }  // 224.0.0.0/4
bool loopback(uint32_t addr) { return (addr >> 24) == 127; }    // 127.0.0.0/8

// The interface whose broadcast address `addr` is, or nullptr. An address
// that an interface holds as its own is none: an interface of a /32 may
// name its own address as its broadcast.
const Machine::Interface *broadcast_of(uint32_t addr, const Machine &machine) {
    const Machine::Interface *found = nullptr;
    for (const auto &i : machine.interfaces) {
        if (i.address == addr) return nullptr;
        if (i.broadcast != 0 && i.broadcast == addr && found == nullptr) found = &i;
    }
    return found;
}

}  // namespace

std::string peer_address_problem(uint32_t addr, uint32_t bind, const Machine &machine) {
    if (addr == kAny) return "the unspecified address, which names no machine";
    if (addr == kBroadcast) return "the broadcast address, which reaches every machine of the network, not one";
    if (multicast(addr)) return "a multicast address, which names a group of machines, not one";
    if (const auto *i = broadcast_of(addr, machine))
        return "the broadcast address of " + i->name + ", which reaches every machine of its network, not one";
    // Bound to one address, norvd receives on that one only: another norvd
    // of this machine may be bound to another.
    if (bind != kAny)
        return addr == bind ? "norvd's own address (bind): its messages would come back to it" : "";
    const char *const own = ", and the peer socket is bound to any address: norvd's messages would come "
                            "back to it (each norvd of one machine needs a bind address of its own)";
    if (loopback(addr)) return std::string("a loopback address of this machine") + own;
    for (const auto &i : machine.interfaces)
        if (i.address == addr) return "the address of " + i.name + " on this machine" + own;
    return "";
}

std::string bind_address_problem(uint32_t addr, const Machine &machine) {
    if (addr == kBroadcast) return "the broadcast address, not one of this machine's";
    if (multicast(addr)) return "a multicast address, not one of this machine's";
    if (const auto *i = broadcast_of(addr, machine))
        return "the broadcast address of " + i->name + ", not one of this machine's";
    return "";
}

bool parse_ipv4(const std::string &text, uint32_t &addr) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    addr = ntohl(a.s_addr);
    return true;
}

std::string check_bind(const std::string &bind, const Machine &machine) {
    if (bind.empty()) return "";
    uint32_t addr;
    if (!parse_ipv4(bind, addr)) return "bind needs an IPv4 address, not '" + escape(bind) + "'";
    std::string why = bind_address_problem(addr, machine);
    return why.empty() ? "" : "bind " + bind + ": " + why;
}

std::string check_peers(const Peers &peers, const std::string &bind, const Machine &machine) {
    uint32_t local = kAny;
    if (!bind.empty() && !parse_ipv4(bind, local)) local = kAny;
    for (const auto &[id, host] : peers) {
        uint32_t addr;
        if (!parse_ipv4(host, addr)) continue;
        if (std::string why = peer_address_problem(addr, local, machine); !why.empty())
            return "peer " + std::to_string(id) + " at " + host + ": " + why;
    }
    return "";
}

std::string local_machine(Machine &out) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) < 0) return failed("getifaddrs");
    Machine machine;
    for (const ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        Machine::Interface entry;
        entry.name = i->ifa_name;
        entry.address = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
        // ifa_broadaddr shares its place with the far end of a point-to-point
        // interface: it is a broadcast address only with IFF_BROADCAST.
        if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr != nullptr &&
            i->ifa_broadaddr->sa_family == AF_INET)
            entry.broadcast = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr);
        machine.interfaces.push_back(entry);
    }
    freeifaddrs(list);
    out = std::move(machine);
    return "";
}

}  // namespace norvd
