// packet_route.h: which machines an IPv4 packet read from a machine's
// interface goes to. Machine i owns the address base + i + 1 of a /24.
#ifndef NETSIM_PACKET_ROUTE_H
#define NETSIM_PACKET_ROUTE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace netsim {

struct PacketInfo {
    uint32_t src = 0, dst = 0;  // host order
    uint8_t protocol = 0;
    uint16_t srcPort = 0, dstPort = 0;  // UDP only
    const uint8_t *udpPayload = nullptr;
    size_t udpPayloadLength = 0;
};

// Reads the IPv4 (and UDP) header of a packet; false for anything that is not
// a well-formed IPv4 packet (IPv6 router solicitations, truncated packets).
bool parse_packet(const uint8_t *packet, size_t length, PacketInfo &info);

// The machines a packet from `from` is delivered to: the owner of its
// destination, or every other machine for the subnet's broadcast address and
// for 255.255.255.255. Empty for addresses outside the group.
std::vector<int> destinations(const PacketInfo &info, int from, uint32_t subnet, int machines);

}  // namespace netsim

#endif  // NETSIM_PACKET_ROUTE_H
