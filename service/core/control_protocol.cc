// control_protocol.cc: parsing the requests of the control socket and
// writing their responses as text tables or JSON.
#include "core/control_protocol.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>

#include "io/log.h"

namespace norvd {

namespace {

// The fewest digits that read back as the same double, as the log writes
// the drift.
std::string shortest(double v) {
    char text[40];
    auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return std::string(text, end);
}

// ---- Pieces of JSON ------------------------------------------------------------

// The members of one JSON object, added in order.
class JsonObject {
public:
    JsonObject &raw(const char *key, const std::string &json) {
        body_ += (body_.empty() ? "\"" : ",\"") + std::string(key) + "\":" + json;
        return *this;
    }
    JsonObject &u(const char *key, uint64_t v) { return raw(key, std::to_string(v)); }
    JsonObject &i(const char *key, int64_t v) { return raw(key, std::to_string(v)); }
    JsonObject &b(const char *key, bool v) { return raw(key, v ? "true" : "false"); }
    JsonObject &s(const char *key, std::string_view v) { return raw(key, json_string(v)); }
    JsonObject &opt(const char *key, std::optional<int32_t> v) {
        return raw(key, v ? std::to_string(*v) : "null");
    }
    // Seconds from nanoseconds, to the microsecond.
    JsonObject &seconds(const char *key, std::optional<uint64_t> ns) {
        if (!ns) return raw(key, "null");
        char text[32];
        snprintf(text, sizeof text, "%" PRIu64 ".%06" PRIu64, *ns / 1'000'000'000,
                 *ns % 1'000'000'000 / 1000);
        return raw(key, text);
    }
    JsonObject &f(const char *key, double v) { return raw(key, shortest(v)); }
    std::string str() const { return "{" + body_ + "}"; }

private:
    std::string body_;
};

std::string json_array(const std::vector<std::string> &items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : ",") + items[i];
    return out + "]";
}

// "bad-code" -> "bad_code": JSON keys and metric labels use underscores.
std::string key_of(const char *name) {
    std::string k = name;
    for (char &c : k)
        if (c == '-') c = '_';
    return k;
}

// ---- Pieces of text ------------------------------------------------------------

// Rows of cells in columns as wide as their widest cell; `align` has 'l' or
// 'r' for each column. The first row is the header.
std::string table(const std::vector<std::vector<std::string>> &rows, const std::string &align) {
    std::vector<size_t> width(align.size(), 0);
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size() && c < width.size(); ++c) width[c] = std::max(width[c], row[c].size());
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size() && c < width.size(); ++c) {
            std::string pad(width[c] - row[c].size(), ' ');
            if (c != 0) line += "  ";
            line += align[c] == 'r' ? pad + row[c] : row[c] + pad;
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string us_or_dash(std::optional<int32_t> v) { return v ? std::to_string(*v) : "-"; }

// "+12.3 us" of ns, rounded to the tenth of a microsecond away from zero
// (way > 0) or toward minus infinity (way < 0): an interval's ends shown so
// still hold it.
std::string us_text(int64_t ns, int way, bool plus = true) {
    int64_t tenths = ns / 100;
    if (way > 0 && tenths * 100 < ns) ++tenths;
    if (way < 0 && tenths * 100 > ns) --tenths;
    uint64_t m = tenths < 0 ? 0 - static_cast<uint64_t>(tenths) : static_cast<uint64_t>(tenths);
    char text[40];
    snprintf(text, sizeof text, "%s%" PRIu64 ".%" PRIu64 " us", tenths < 0 ? "-" : plus ? "+" : "", m / 10, m % 10);
    return text;
}

// "12.3 s", to the tenth of a second.
std::string seconds_text(uint64_t ns) {
    char text[32];
    snprintf(text, sizeof text, "%" PRIu64 ".%" PRIu64 " s", ns / 1'000'000'000, ns % 1'000'000'000 / 100'000'000);
    return text;
}

std::string ago_text(std::optional<uint64_t> ns) { return ns ? seconds_text(*ns) + " ago" : "never"; }

std::string machines_text(uint8_t mask) {
    std::string out;
    for (int m = 0; m < MAX_MACHINES; ++m)
        if (mask & (1u << m)) out += (out.empty() ? "" : ", ") + std::to_string(m);
    return out;
}

std::string line(const char *label, const std::string &value) {
    char head[24];
    snprintf(head, sizeof head, "%-17s", label);
    return head + value + "\n";
}

// ---- The commands ----------------------------------------------------------------

std::string status_command(DaemonState &state, bool json) { return status_body(state.status(), json); }
std::string peers_command(DaemonState &state, bool json) { return peers_body(state.peers(), json); }
std::string verdicts_command(DaemonState &state, bool json) { return verdicts_body(state.verdicts(), json); }
std::string connections_command(DaemonState &state, bool json) {
    return connections_body(state.connections(), json);
}
// The log says what the reload took; the client learns whether it failed.
std::string reload_command(DaemonState &, bool json) { return json ? "{}\n" : ""; }
std::string reload_act(DaemonState &state) { return state.reload(); }

}  // namespace

const ControlCommand kControlCommands[] = {
    {"status", "the machine, its clock, connections, registrations and notices", status_command},
    {"peers", "each peer: address, last message heard, messages accepted and rejected", peers_command},
    {"verdicts", "each machine of the group: verdicts and their lateness", verdicts_command},
    {"connections", "each connection: user, requests, registrations pending", connections_command},
    {"reload", "reads the configuration file again, as SIGHUP does", reload_command, reload_act},
};
const size_t kControlCommandCount = sizeof kControlCommands / sizeof kControlCommands[0];

std::string json_string(std::string_view bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        }
    }
    return out + "\"";
}

std::string control_error(std::string_view text) { return "error: " + escape(text) + "\n"; }

std::string parse_control_request(std::string_view line, ControlRequest &out) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::vector<std::string_view> words;
    for (size_t i = 0; i < line.size();) {
        if (line[i] == ' ' || line[i] == '\t') {
            ++i;
            continue;
        }
        size_t j = line.find_first_of(" \t", i);
        if (j == std::string_view::npos) j = line.size();
        words.push_back(line.substr(i, j - i));
        i = j;
    }
    if (words.empty()) return "empty request";
    if (words.size() > 2) return "a request is a command, optionally followed by json";
    const ControlCommand *command = nullptr;
    for (size_t c = 0; c < kControlCommandCount; ++c)
        if (words[0] == kControlCommands[c].name) command = &kControlCommands[c];
    if (command == nullptr) {
        std::string known;
        for (size_t c = 0; c < kControlCommandCount; ++c)
            known += (c == 0 ? "" : c + 1 == kControlCommandCount ? " or " : ", ") +
                     std::string(kControlCommands[c].name);
        return "unknown command '" + std::string(words[0]) + "' (" + known + ")";
    }
    if (words.size() == 2 && words[1] != "json")
        return "unknown word '" + std::string(words[1]) + "' after " + command->name + " (only json)";
    out.command = command;
    out.json = words.size() == 2;
    return "";
}

std::string respond(std::string_view line, DaemonState &state, bool root) {
    ControlRequest req;
    if (std::string why = parse_control_request(line, req); !why.empty()) return control_error(why);
    if (req.command->act != nullptr) {
        if (!root) return control_error(std::string(req.command->name) + ": only root may ask for it");
        if (std::string why = req.command->act(state); !why.empty()) return control_error(why);
    }
    return "ok\n" + req.command->body(state, req.json);
}

ControlRequestReader::State ControlRequestReader::feed(const uint8_t *data, size_t len) {
    for (size_t i = 0; i < len && state_ == State::kNeedMore; ++i) {
        if (data[i] == '\n')
            state_ = State::kLine;
        else if (buffer_.size() + 1 >= kControlRequestLimit)
            state_ = State::kTooLong;
        else
            buffer_ += static_cast<char>(data[i]);
    }
    return state_;
}

ControlRequestReader::State ControlRequestReader::end() {
    if (state_ == State::kNeedMore) state_ = State::kLine;
    return state_;
}

std::string status_body(const StatusView &s, bool json) {
    if (json) {
        std::vector<std::string> group;
        for (int m = 0; m < MAX_MACHINES; ++m)
            if (s.group & (1u << m)) group.push_back(std::to_string(m));
        JsonObject dropped;
        dropped.u("connection_full", s.noticesDropped.connectionFull)
            .u("all_full", s.noticesDropped.allFull)
            .u("connection_ended", s.noticesDropped.connectionEnded);
        JsonObject o;
        o.u("machine", s.machine)
            .raw("group", json_array(group))
            .seconds("uptime_s", s.uptimeNs)
            .s("base_clock", kBaseClockName)
            .u("base_ns", s.baseNs)
            .i("clock_offset_ns", s.clockOffsetNs)
            .f("clock_drift_ppm", s.clockDriftPpm)
            .i("common_minus_base_ns", s.commonMinusBaseNs)
            .b("synchronised", s.sync.synchronised)
            .i("estimated_error_us", s.sync.estimatedErrorUs)
            .i("maximum_error_us", s.sync.maximumErrorUs)
            .b("peer_messages_authenticated", s.authenticated)
            .u("connections", s.connections)
            .u("pending_registrations", s.pendingRegistrations)
            .u("registrations", s.registrations)
            .u("refused_registrations", s.refusedRegistrations)
            .u("notices_waiting", s.noticesWaiting)
            .raw("notices_dropped", dropped.str())
            .u("control_clients", s.controlClients);
        return o.str() + "\n";
    }
    char clock[160], sync[120];
    snprintf(clock, sizeof clock, "%s; service clock = base %+" PRId64 " ns, drift %s ppm", kBaseClockName,
             s.clockOffsetNs, shortest(s.clockDriftPpm).c_str());
    snprintf(sync, sizeof sync, "%s by the kernel's account, estimated error %" PRId64 " us, maximum error %" PRId64 " us",
             s.sync.synchronised ? "synchronised" : "not synchronised", s.sync.estimatedErrorUs,
             s.sync.maximumErrorUs);
    const NoticeDrops &d = s.noticesDropped;
    std::string out;
    out += line("machine", std::to_string(s.machine) + " (group: machines " + machines_text(s.group) + ")");
    out += line("uptime", seconds_text(s.uptimeNs));
    out += line("base clock", clock);
    out += line("synchronisation", sync);
    out += line("peer messages", s.group == (1u << s.machine) ? "no peers"
                                 : s.authenticated           ? "authenticated (version 2)"
                                                             : "not authenticated (version 1)");
    out += line("connections", std::to_string(s.connections));
    out += line("registrations", std::to_string(s.pendingRegistrations) + " pending, " +
                                     std::to_string(s.registrations) + " made, " +
                                     std::to_string(s.refusedRegistrations) + " refused");
    out += line("notices", std::to_string(s.noticesWaiting) + " waiting, " + std::to_string(d.total()) +
                               " dropped (" + std::to_string(d.connectionFull) + " its connection's queue full, " +
                               std::to_string(d.allFull) + " all queues full, " +
                               std::to_string(d.connectionEnded) + " with their connection)");
    out += line("control clients", std::to_string(s.controlClients));
    return out;
}

std::string peers_body(const PeersView &p, bool json) {
    if (json) {
        std::vector<std::string> peers;
        for (const PeerView &v : p.peers) {
            JsonObject rejected;
            for (const PeerCounterName &n : kPeerCounterNames)
                if (n.field != &PeerCounters::accepted && n.field != &PeerCounters::notPeer)
                    rejected.u(key_of(n.name).c_str(), v.counters.*n.field);
            JsonObject o;
            std::string offset = "null";
            if (v.offset) offset = JsonObject().i("low", v.offset->low).i("high", v.offset->high).str();
            o.u("machine", v.machine)
                .s("host", v.host)
                .raw("address", v.address.empty() ? "null" : json_string(v.address))
                .b("reachable", v.reachable)
                .u("reach", v.reach)
                .u("probes", v.probes)
                .seconds("answered_ago_s", v.answeredAgoNs)
                .raw("round_trip_ns", v.roundTripNs ? std::to_string(*v.roundTripNs) : "null")
                .raw("offset_ns", offset)
                .seconds("heard_ago_s", v.heardAgoNs)
                .seconds("accepted_ago_s", v.acceptedAgoNs)
                .u("accepted", v.counters.accepted)
                .u("receipts", v.receipts)
                .u("rejected_total", v.counters.dropped())
                .raw("rejected", rejected.str());
            peers.push_back(o.str());
        }
        return JsonObject().raw("peers", json_array(peers)).u("not_peer", p.notPeer).str() + "\n";
    }
    std::vector<std::vector<std::string>> rows = {
        {"MACHINE", "HOST", "ADDRESS", "REACHABLE", "REACH", "ROUND TRIP", "CLOCK OFFSET", "LAST HEARD",
         "LAST ACCEPTED", "ACCEPTED", "REJECTED", "BY CAUSE"}};
    for (const PeerView &v : p.peers) {
        std::string causes;
        for (const PeerCounterName &n : kPeerCounterNames)
            if (n.field != &PeerCounters::accepted && v.counters.*n.field != 0)
                causes += (causes.empty() ? "" : ", ") + std::string(n.name) + " " +
                          std::to_string(v.counters.*n.field);
        char reach[8];
        snprintf(reach, sizeof reach, "%03o", v.reach);
        rows.push_back({std::to_string(v.machine), escape(v.host), v.address.empty() ? "unresolved" : escape(v.address),
                        v.reachable ? "yes" : "no", reach, v.roundTripNs ? us_text(static_cast<int64_t>(*v.roundTripNs), 1, false) : "-",
                        v.offset ? us_text(v.offset->low, -1) + " .. " + us_text(v.offset->high, 1) : "-",
                        ago_text(v.heardAgoNs), ago_text(v.acceptedAgoNs), std::to_string(v.counters.accepted),
                        std::to_string(v.counters.dropped()), causes.empty() ? "-" : causes});
    }
    std::string out = p.peers.empty() ? "no peers\n" : table(rows, "rlllrrrllrrl");
    return out + "messages from addresses that are no peer's: " + std::to_string(p.notPeer) + "\n";
}

std::string verdicts_body(const std::vector<MachineVerdicts> &v, bool json) {
    if (json) {
        auto part = [](const VerdictCounts &c, const LatenessSummary &l) {
            JsonObject lateness;
            lateness.u("count", l.count).i("sum", l.sumUs).opt("median", l.median).opt("p99", l.p99).opt("max", l.max);
            return JsonObject()
                .u("timely", c.timely)
                .u("late", c.late)
                .u("unknown", c.unknown)
                .u("undecidable", c.undecidable)
                .raw("lateness_us", lateness.str())
                .str();
        };
        std::vector<std::string> machines;
        for (const MachineVerdicts &m : v)
            machines.push_back(JsonObject()
                                   .u("machine", m.machine)
                                   .raw("since_start", part(m.sinceStart, m.sinceStartLateness))
                                   .raw("last_minute", part(m.lastMinute, m.lastMinuteLateness))
                                   .str());
        return JsonObject().raw("machines", json_array(machines)).str() + "\n";
    }
    std::vector<std::vector<std::string>> rows = {
        {"MACHINE", "SINCE", "TIMELY", "LATE", "UNKNOWN", "UNDECIDABLE", "MEDIAN_US", "P99_US", "MAX_US"}};
    for (const MachineVerdicts &m : v) {
        auto row = [&](const char *since, const VerdictCounts &c, const LatenessSummary &l) {
            rows.push_back({std::to_string(m.machine), since, std::to_string(c.timely), std::to_string(c.late),
                            std::to_string(c.unknown), std::to_string(c.undecidable), us_or_dash(l.median), us_or_dash(l.p99), us_or_dash(l.max)});
        };
        row("last minute", m.lastMinute, m.lastMinuteLateness);
        row("start", m.sinceStart, m.sinceStartLateness);
    }
    return table(rows, "rlrrrrrrr");
}

std::string connections_body(const std::vector<ConnectionView> &c, bool json) {
    if (json) {
        std::vector<std::string> items;
        for (const ConnectionView &v : c)
            items.push_back(JsonObject()
                                .u("channel", static_cast<uint64_t>(v.channel))
                                .raw("uid", v.uid ? std::to_string(*v.uid) : "null")
                                .u("requests", v.requests)
                                .u("pending_registrations", v.pending)
                                .u("notices_waiting", v.noticesWaiting)
                                .seconds("age_s", v.ageNs)
                                .str());
        return JsonObject().raw("connections", json_array(items)).str() + "\n";
    }
    if (c.empty()) return "no connections\n";
    std::vector<std::vector<std::string>> rows = {
        {"CHANNEL", "USER", "REQUESTS", "PENDING", "NOTICES WAITING", "AGE"}};
    // The user's name beside the uid (escaped: the password database is not
    // norvd's); the JSON keeps the uid alone.
    auto user = [](const ConnectionView &v) {
        if (!v.uid) return std::string("the group");
        std::string text = "uid " + std::to_string(*v.uid);
        return v.userName.empty() ? text : text + " (" + escape(v.userName) + ")";
    };
    for (const ConnectionView &v : c)
        rows.push_back({std::to_string(v.channel), user(v),
                        std::to_string(v.requests), std::to_string(v.pending), std::to_string(v.noticesWaiting),
                        seconds_text(v.ageNs)});
    return table(rows, "rlrrrr");
}

}  // namespace norvd
