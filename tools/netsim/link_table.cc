// link_table.cc: per-link settings and the draw of each packet's fate.
#include "link_table.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace netsim {

LinkTable::LinkTable(int machines) : machines_(machines), links_(machines * machines) {}

bool parse_duration(const std::string &text, int64_t &ns) {
    static const struct {
        const char *suffix;
        int64_t scale;
    } units[] = {{"ns", 1}, {"us", 1000}, {"ms", 1000000}, {"s", 1000000000}, {"", 1}};
    for (const auto &u : units) {
        std::string s(u.suffix);
        if (text.size() <= s.size() || text.compare(text.size() - s.size(), s.size(), s) != 0)
            continue;
        std::string number = text.substr(0, text.size() - s.size());
        char *end = nullptr;
        errno = 0;
        double v = std::strtod(number.c_str(), &end);
        // !(v >= 0) refuses NaN as well as negatives; infinity is too large.
        if (errno != 0 || end == number.c_str() || *end != '\0' || !(v >= 0) || v * u.scale > 1e15)
            return false;
        ns = static_cast<int64_t>(v * static_cast<double>(u.scale) + 0.5);
        return true;
    }
    return false;
}

namespace {

bool parse_loss(const std::string &text, double &loss) {
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) return false;
    if (*end == '%') {
        v /= 100.0;
        ++end;
    }
    if (*end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;  // NaN fails both
    loss = v;
    return true;
}

// Parses a machine number or "*" into [first, last].
bool parse_end(const std::string &text, int machines, int &first, int &last) {
    if (text == "*") {
        first = 0;
        last = machines - 1;
        return true;
    }
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v >= machines) return false;
    first = last = static_cast<int>(v);
    return true;
}

}  // namespace

std::string LinkTable::apply(const std::string &line) {
    std::istringstream in(line);
    std::string ends;
    if (!(in >> ends)) return "empty setting";
    size_t sep = ends.find_first_of(">-");
    if (sep == std::string::npos) return "expected FROM>TO or FROM-TO in '" + ends + "'";
    bool both = ends[sep] == '-';
    int f0, f1, t0, t1;
    if (!parse_end(ends.substr(0, sep), machines_, f0, f1) ||
        !parse_end(ends.substr(sep + 1), machines_, t0, t1))
        return "no such machine in '" + ends + "'";

    LinkConfig change;
    bool setDelay = false, setJitter = false, setLoss = false;
    std::string kv;
    while (in >> kv) {
        size_t eq = kv.find('=');
        std::string key = kv.substr(0, eq), value = eq == std::string::npos ? "" : kv.substr(eq + 1);
        if (key == "delay" && parse_duration(value, change.delayNs)) setDelay = true;
        else if (key == "jitter" && parse_duration(value, change.jitterNs)) setJitter = true;
        else if (key == "loss" && parse_loss(value, change.loss)) setLoss = true;
        else return "bad setting '" + kv + "'";
    }
    auto set = [&](int from, int to) {
        if (from == to) return;
        LinkConfig &c = links_[from * machines_ + to];
        if (setDelay) c.delayNs = change.delayNs;
        if (setJitter) c.jitterNs = change.jitterNs;
        if (setLoss) c.loss = change.loss;
    };
    for (int f = f0; f <= f1; ++f)
        for (int t = t0; t <= t1; ++t) {
            set(f, t);
            if (both) set(t, f);
        }
    return "";
}

Fate LinkTable::draw(int from, int to, std::mt19937_64 &rng) const {
    const LinkConfig &c = at(from, to);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    if (c.loss > 0.0 && unit(rng) < c.loss) return {true, 0};
    int64_t extra = 0;
    if (c.jitterNs > 0) extra = std::uniform_int_distribution<int64_t>(0, c.jitterNs)(rng);
    return {false, c.delayNs + extra};
}

}  // namespace netsim
