// packet_route.cc: IPv4 header reading and the group's addressing.
#include "packet_route.h"

namespace netsim {

namespace {
uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
}  // namespace

bool parse_packet(const uint8_t *packet, size_t length, PacketInfo &info) {
    if (length < 20 || (packet[0] >> 4) != 4) return false;
    size_t headerLength = static_cast<size_t>(packet[0] & 0x0F) * 4;
    size_t total = be16(packet + 2);
    if (headerLength < 20 || total < headerLength || total > length) return false;
    info = PacketInfo{};
    info.protocol = packet[9];
    info.src = be32(packet + 12);
    info.dst = be32(packet + 16);
    bool firstFragment = (be16(packet + 6) & 0x1FFF) == 0;
    if (info.protocol == 17 && firstFragment && total >= headerLength + 8) {
        const uint8_t *udp = packet + headerLength;
        info.srcPort = be16(udp);
        info.dstPort = be16(udp + 2);
        info.udpPayload = udp + 8;
        info.udpPayloadLength = total - headerLength - 8;
    }
    return true;
}

std::vector<int> destinations(const PacketInfo &info, int from, uint32_t subnet, int machines) {
    std::vector<int> out;
    uint32_t host = info.dst & 0xFF;
    bool broadcast = info.dst == 0xFFFFFFFFu || ((info.dst & 0xFFFFFF00u) == subnet && host == 255);
    if (broadcast) {
        for (int m = 0; m < machines; ++m)
            if (m != from) out.push_back(m);
    } else if ((info.dst & 0xFFFFFF00u) == subnet && host >= 1 &&
               host <= static_cast<uint32_t>(machines) && static_cast<int>(host - 1) != from) {
        out.push_back(static_cast<int>(host - 1));
    }
    return out;
}

}  // namespace netsim
