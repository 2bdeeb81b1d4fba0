// link_table.h: the emulated network's per-link behaviour (delay, jitter,
// loss, each direction on its own) and the text form that configures it.
#ifndef NETSIM_LINK_TABLE_H
#define NETSIM_LINK_TABLE_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace netsim {

struct LinkConfig {
    int64_t delayNs = 0;   // fixed one-way delay
    int64_t jitterNs = 0;  // extra delay drawn uniformly from [0, jitterNs]
    double loss = 0.0;     // probability that a packet is lost, 0 to 1
};

// What happens to one packet on a link: lost, or delivered after delayNs.
struct Fate {
    bool lost;
    int64_t delayNs;
};

class LinkTable {
public:
    explicit LinkTable(int machines);

    int machines() const { return machines_; }
    const LinkConfig &at(int from, int to) const { return links_[from * machines_ + to]; }

    // Applies one setting line: "FROM>TO key=value ..." for one direction,
    // "FROM-TO key=value ..." for both; FROM and TO are machine numbers or
    // "*". Keys: delay, jitter (durations such as 5ms, 200us, 1s, 750ns or a
    // bare number of nanoseconds) and loss (a fraction such as 0.25 or a
    // percentage such as 25%). Keys not given keep their value. Returns an
    // empty string, or what is wrong with the line.
    std::string apply(const std::string &line);

    // Draws the fate of one packet from `from` to `to`.
    Fate draw(int from, int to, std::mt19937_64 &rng) const;

private:
    int machines_;
    std::vector<LinkConfig> links_;
};

// Parses "5ms", "200us", "1s", "750ns" or "1500" (nanoseconds); false when malformed.
bool parse_duration(const std::string &text, int64_t &ns);

}  // namespace netsim

#endif  // NETSIM_LINK_TABLE_H
