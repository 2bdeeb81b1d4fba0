// address_check.h: the IPv4 addresses norvd refuses for a peer or for its
// peer socket.
//
// A peer's address must name one other machine's norvd: not 0.0.0.0, not a
// broadcast address (255.255.255.255 or an interface's), not multicast, and
// not norvd itself. norvd itself is the address its peer socket is bound to
// (--bind); bound to none, norvd receives on every address of this machine
// (127.0.0.0/8 and its interfaces'), so any of them is norvd itself. Several
// norvds on one machine each bind an address of their own and name the
// others' as peers.
//
// The peer socket may be bound to 0.0.0.0 (any) or to one address, never to
// a broadcast or multicast one.
//
// The classification is pure: this machine's addresses come in a Machine,
// which local_machine() reads.
#ifndef NORVD_ADDRESS_CHECK_H
#define NORVD_ADDRESS_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "config/options.h"

namespace norvd {

// This machine's interfaces, addresses in host byte order.
struct Machine {
    struct Interface {
        std::string name;
        uint32_t address = 0;
        uint32_t broadcast = 0;  // 0: the interface has none
    };
    std::vector<Interface> interfaces;
};

// Why a peer at `addr` cannot be reached as another machine's norvd, or "".
// `bind` is the address of the peer socket, 0 for any.
std::string peer_address_problem(uint32_t addr, uint32_t bind, const Machine &machine);

// Why the peer socket cannot be bound to `addr`, or "".
std::string bind_address_problem(uint32_t addr, const Machine &machine);

// The IPv4 address written in `text` (a dotted quad), in host byte order.
bool parse_ipv4(const std::string &text, uint32_t &addr);

// Checks the bind address ("" = any): an IPv4 address, not refused. Returns
// "" or "--bind ADDR: why".
std::string check_bind(const std::string &bind, const Machine &machine);

// Checks the peers written as addresses (names are checked once they
// resolve) against the bind address `bind` ("" = any). Returns "" or
// "peer ID at ADDR: why" for the first one refused.
std::string check_peers(const Peers &peers, const std::string &bind, const Machine &machine);

// This machine's interfaces, through getifaddrs. Returns "" or the failure.
std::string local_machine(Machine &out);

}  // namespace norvd

#endif  // NORVD_ADDRESS_CHECK_H
