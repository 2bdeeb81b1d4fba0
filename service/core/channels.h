// channels.h: the channel numbers of the live connections.
//
// A connection owns two devices, its request FIFO N and its notice FIFO N + 3.
// Device 1 is the connect device that every client shares, so no
// connection may use it, and no two live connections may share a number.
#ifndef NORVD_CHANNELS_H
#define NORVD_CHANNELS_H

#include <cstddef>
#include <set>

namespace norvd {

constexpr int kConnectDevice = 1;
constexpr int kNoticeOffset = 3;

class ChannelTable {
public:
    explicit ChannelTable(size_t maxConnections) : max_(maxConnections) {}

    // The lowest N >= 0 whose N and N + 3 are neither 1 nor the device of a
    // live connection, now marked live; -1 when maxConnections are live.
    int allocate();

    // Frees connection n (no effect when it is not live).
    void release(int n);

    bool live(int n) const { return connections_.count(n) != 0; }
    size_t size() const { return connections_.size(); }
    const std::set<int> &connections() const { return connections_; }

private:
    bool device_free(int d) const { return d != kConnectDevice && devices_.count(d) == 0; }

    size_t max_;
    std::set<int> connections_;
    std::set<int> devices_;
};

}  // namespace norvd

#endif  // NORVD_CHANNELS_H
