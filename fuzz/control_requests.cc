// control_requests.cc: the requests of norvd's control socket. Clients'
// bytes, in chunks of any length, go through a ControlRequestReader; each
// line (or too long a one) is responded to by respond() against a daemon
// state made from the input, whose verdicts went through VerdictStats; the
// same state is written as metrics.
//
// Input: the state (see make_state), then operations, each a control byte c:
//   c & 1 == 0: feed the next (byte) bytes to the current client
//   c & 1 == 1: the client closes its side
// Once the reader has a line (or too long a one) it is responded to, and the
// next bytes are a new client's.
// Checks: a line's response is "ok" exactly when it parses; an error is one
// line of printable ASCII; an "ok" response is printable ASCII lines, and with
// json exactly one line of well-formed JSON; the reader never holds more than
// the limit; the metrics start with norvd's marker line, and every line after
// it is a HELP, a TYPE or a sample of a family whose TYPE came before, with a
// valid name and quoted label values.
#include <cmath>
#include <cstdint>
#include <set>
#include <string>

#include "core/control_protocol.h"
#include "core/registrations.h"
#include "core/verdict_stats.h"
#include "fuzz_support.h"
#include "io/metrics_file.h"

using namespace norv::fuzz;

namespace {

class FuzzState : public norvd::DaemonState {
public:
    norvd::StatusView s;
    norvd::PeersView p;
    std::vector<norvd::MachineVerdicts> v;
    std::vector<norvd::ConnectionView> c;
    uint64_t r = 0;
    norvd::StatusView status() override { return s; }
    norvd::PeersView peers() override { return p; }
    std::vector<norvd::MachineVerdicts> verdicts() override { return v; }
    std::vector<norvd::ConnectionView> connections() override { return c; }
    std::string reload() override { return ""; }
    uint64_t requests_read() override { return r; }
};

std::string bytes(Reader &in, size_t most) {
    size_t len = in.u8() % (most + 1);
    std::string out;
    for (size_t i = 0; i < len; ++i) out += static_cast<char>(in.u8());
    return out;
}

void make_state(Reader &in, FuzzState &st) {
    st.s.machine = in.u8() % MAX_MACHINES;
    st.s.group = static_cast<uint8_t>((in.u8() & 0x1F) | (1u << st.s.machine));
    st.s.uptimeNs = static_cast<uint64_t>(in.le(4)) << (in.u8() % 32);
    st.r = static_cast<uint64_t>(in.le(4)) << (in.u8() % 32);
    st.s.clockOffsetNs = static_cast<int32_t>(in.le(4)) * int64_t{1000};
    st.s.clockDriftPpm = static_cast<int8_t>(in.u8()) / 3.0;
    st.s.sync = {in.u8() % 2 == 1, static_cast<int32_t>(in.le(4)), static_cast<int32_t>(in.le(4))};
    st.s.noticesDropped.allFull = in.le(4);
    for (int n = in.u8() % 5; n > 0; --n) {
        norvd::PeerView peer;
        peer.machine = in.u8() % MAX_MACHINES;
        peer.host = bytes(in, 24);
        if (in.u8() % 2) peer.address = bytes(in, 24);
        if (in.u8() % 2) peer.heardAgoNs = static_cast<uint64_t>(in.le(4)) << 20;
        if (in.u8() % 2) peer.heardAtCommonNs = static_cast<uint64_t>(in.le(4)) << 30;
        for (const norvd::PeerCounterName &name : norvd::kPeerCounterNames) peer.counters.*name.field = in.le(2);
        peer.receipts = in.le(2);
        peer.reachable = in.u8() % 2 == 1;
        peer.reach = in.u8();
        peer.probes = in.le(4);
        if (in.u8() % 2) peer.answeredAgoNs = static_cast<uint64_t>(in.le(4)) << 20;
        auto u64 = [&in] { return in.le(4) | static_cast<uint64_t>(in.le(4)) << 32; };
        if (in.u8() % 2) peer.roundTripNs = u64();
        if (in.u8() % 2) {
            // Any two ends, the widest too: the text rounds them outward.
            int64_t a = static_cast<int64_t>(u64()), b = static_cast<int64_t>(u64());
            peer.offset = norvd::OffsetInterval{std::min(a, b), std::max(a, b)};
        }
        st.p.peers.push_back(peer);
    }
    norvd::VerdictStats stats(st.s.group, norvd::BaseTime());
    norvd::BaseTime at;
    for (int n = in.u8() % 16; n > 0; --n) {
        FailureNotice notice{};
        for (MachineVerdict &mv : notice.verdicts) {
            mv.status = in.u8() % 3;
            mv.latenessKnown = in.u8() % 2;
            mv.lateness = static_cast<int32_t>(in.le(4));
            if (mv.lateness == INT32_MIN) mv.lateness = -INT32_MAX;  // a lateness never is
        }
        at += static_cast<uint64_t>(in.le(2)) * 100'000'000;
        stats.count(notice, in.u8(), at);
    }
    for (uint8_t m = 0; m < MAX_MACHINES; ++m)
        if (st.s.group & (1u << m)) st.v.push_back(stats.machine(m, at));
    for (int n = in.u8() % 4; n > 0; --n) {
        norvd::ConnectionView conn;
        conn.channel = in.u8();
        if (in.u8() % 2) conn.uid = in.le(4);
        conn.requests = in.le(4);
        conn.pending = in.le(2);
        st.c.push_back(conn);
    }
}

bool printable_lines(const std::string &s) {
    for (unsigned char ch : s)
        if ((ch < 0x20 || ch > 0x7e) && ch != '\n') return false;
    return !s.empty() && s.back() == '\n';
}

// A small JSON checker: one value, then the end.
struct Json {
    const std::string &t;
    size_t i = 0;
    void ws() {
        while (i < t.size() && (t[i] == ' ' || t[i] == '\t')) ++i;
    }
    bool lit(const char *w) {
        size_t n = strlen(w);
        if (t.compare(i, n, w) != 0) return false;
        i += n;
        return true;
    }
    bool string() {
        if (t[i] != '"') return false;
        for (++i; i < t.size(); ++i) {
            unsigned char ch = static_cast<unsigned char>(t[i]);
            if (ch == '"') return ++i, true;
            if (ch < 0x20) return false;
            if (ch == '\\') {
                ++i;
                if (i >= t.size()) return false;
                if (t[i] == 'u') {
                    for (int k = 0; k < 4; ++k)
                        if (++i >= t.size() || !isxdigit(static_cast<unsigned char>(t[i]))) return false;
                } else if (!strchr("\"\\/bfnrt", t[i])) {
                    return false;
                }
            }
        }
        return false;
    }
    bool number() {
        size_t start = i;
        if (t[i] == '-') ++i;
        if (i >= t.size() || !isdigit(static_cast<unsigned char>(t[i]))) return false;
        if (t[i] == '0' && i + 1 < t.size() && isdigit(static_cast<unsigned char>(t[i + 1]))) return false;
        while (i < t.size() && isdigit(static_cast<unsigned char>(t[i]))) ++i;
        if (i < t.size() && t[i] == '.') {
            ++i;
            if (i >= t.size() || !isdigit(static_cast<unsigned char>(t[i]))) return false;
            while (i < t.size() && isdigit(static_cast<unsigned char>(t[i]))) ++i;
        }
        if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
            ++i;
            if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
            if (i >= t.size() || !isdigit(static_cast<unsigned char>(t[i]))) return false;
            while (i < t.size() && isdigit(static_cast<unsigned char>(t[i]))) ++i;
        }
        return i > start;
    }
    bool value(int depth) {
        if (depth > 16 || i >= t.size()) return false;
        ws();
        if (i >= t.size()) return false;
        char ch = t[i];
        if (ch == '"') return string();
        if (ch == '{' || ch == '[') {
            char close = ch == '{' ? '}' : ']';
            ++i;
            ws();
            if (i < t.size() && t[i] == close) return ++i, true;
            for (;;) {
                ws();
                if (close == '}') {
                    if (i >= t.size() || !string()) return false;
                    ws();
                    if (i >= t.size() || t[i] != ':') return false;
                    ++i;
                }
                if (!value(depth + 1)) return false;
                ws();
                if (i >= t.size()) return false;
                if (t[i] == close) return ++i, true;
                if (t[i] != ',') return false;
                ++i;
            }
        }
        if (lit("true") || lit("false") || lit("null")) return true;
        return number();
    }
};

bool metric_name(const std::string &n) {
    if (n.empty() || !(isalpha(static_cast<unsigned char>(n[0])) || n[0] == '_' || n[0] == ':')) return false;
    for (unsigned char ch : n)
        if (!(isalnum(ch) || ch == '_' || ch == ':')) return false;
    return true;
}

void check_metrics(const std::string &text) {
    FUZZ_CHECK(printable_lines(text));
    std::set<std::string> typed;
    // The first line is norvd's comment that marks its files, and no other
    // line is a comment but HELP and TYPE.
    std::string marker = std::string(norvd::kMetricsMarker) + "\n";
    FUZZ_CHECK(text.compare(0, marker.size(), marker) == 0);
    size_t at = marker.size();
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.rfind("# HELP ", 0) == 0) continue;
        if (line.rfind("# TYPE ", 0) == 0) {
            std::string name = line.substr(7, line.find(' ', 7) - 7);
            FUZZ_CHECK(metric_name(name));
            FUZZ_CHECK(typed.insert(name).second);
            continue;
        }
        size_t stop = line.find_first_of("{ ");
        FUZZ_CHECK(stop != std::string::npos);
        std::string name = line.substr(0, stop);
        FUZZ_CHECK(metric_name(name));
        bool known = typed.count(name) != 0;
        for (const char *suffix : {"_sum", "_count"})
            if (name.size() > strlen(suffix) && name.compare(name.size() - strlen(suffix), std::string::npos, suffix) == 0)
                known = known || typed.count(name.substr(0, name.size() - strlen(suffix))) != 0;
        FUZZ_CHECK(known);
        if (line[stop] == '{') {
            // name="value" pairs; a value's quotes and backslashes escaped.
            size_t i = stop + 1;
            for (;;) {
                size_t eq = line.find('=', i);
                FUZZ_CHECK(eq != std::string::npos && eq + 1 < line.size() && line[eq + 1] == '"');
                i = eq + 2;
                while (i < line.size() && line[i] != '"') i += line[i] == '\\' ? 2 : 1;
                FUZZ_CHECK(i + 1 < line.size());
                ++i;
                if (line[i] == '}') break;
                FUZZ_CHECK(line[i] == ',');
                ++i;
            }
            stop = i + 1;
        }
        FUZZ_CHECK(line[stop] == ' ');
        std::string value = line.substr(stop + 1);
        FUZZ_CHECK(value == "NaN" || (!value.empty() && value.find_first_not_of("-0123456789.") == std::string::npos));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Reader in{data, size};
    FuzzState state;
    make_state(in, state);
    check_metrics(norvd::metrics_text({state.s, state.p, state.v, state.c, state.r}));

    norvd::ControlRequestReader reader;
    while (in.more()) {
        uint8_t c = in.u8();
        if (c & 1) {
            reader.end();
        } else {
            size_t len = in.u8();
            size_t take = std::min(len, in.size - in.at);
            reader.feed(in.data + in.at, take);
            in.at += take;
        }
        FUZZ_CHECK(reader.line().size() < norvd::kControlRequestLimit);
        if (reader.state() == norvd::ControlRequestReader::State::kNeedMore) continue;
        if (reader.state() == norvd::ControlRequestReader::State::kLine) {
            norvd::ControlRequest req;
            std::string why = norvd::parse_control_request(reader.line(), req);
            std::string response = norvd::respond(reader.line(), state, true);
            if (why.empty()) {
                FUZZ_CHECK(response.rfind("ok\n", 0) == 0);
                // A command that only acts (reload) answers "ok" with no body.
                std::string body = response.substr(3);
                FUZZ_CHECK(body.empty() || printable_lines(body));
                if (req.json) {
                    FUZZ_CHECK(body.find('\n') == body.size() - 1);
                    std::string one = body.substr(0, body.size() - 1);
                    Json j{one};
                    FUZZ_CHECK(j.value(0) && j.i == one.size());
                }
            } else {
                FUZZ_CHECK(response.rfind("error: ", 0) == 0);
                FUZZ_CHECK(printable_lines(response) && response.find('\n') == response.size() - 1);
            }
        }
        reader = norvd::ControlRequestReader();
    }
    return 0;
}
