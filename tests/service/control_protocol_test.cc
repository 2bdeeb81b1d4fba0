// The control socket's requests: how a line is read and parsed, the response
// a malformed one gets, JSON strings of any bytes, and how a peer's clock
// offset is shown.
#include <gtest/gtest.h>

#include "core/control_protocol.h"

namespace norvd {
namespace {

// A daemon whose views are empty.
class EmptyState : public DaemonState {
public:
    StatusView status() override { return {}; }
    PeersView peers() override { return {}; }
    std::vector<MachineVerdicts> verdicts() override { return {}; }
    std::vector<ConnectionView> connections() override { return {}; }
    uint64_t requests_read() override { return 0; }
    std::string reload() override {
        ++reloads;
        return reloadError;
    }
    int reloads = 0;
    std::string reloadError;
};

// Only printable ASCII and the one line feed that ends it.
bool one_clean_line(const std::string &s) {
    for (size_t i = 0; i < s.size(); ++i)
        if ((s[i] < 0x20 || s[i] > 0x7e) && !(s[i] == '\n' && i + 1 == s.size())) return false;
    return !s.empty() && s.back() == '\n';
}

TEST(ControlRequest, Lines) {
    using namespace std::string_literals;
    struct Case {
        std::string line;
        const char *command;  // nullptr: an error containing `error`
        bool json;
        const char *error;
    } cases[] = {
        {"status", "status", false, nullptr},
        {"verdicts json", "verdicts", true, nullptr},
        {"\tpeers   json  ", "peers", true, nullptr},
        {"connections\r", "connections", false, nullptr},
        {"reload", "reload", false, nullptr},
        {"reload json", "reload", true, nullptr},
        {"", nullptr, false, "empty request"},
        {" \t ", nullptr, false, "empty request"},
        {"\r", nullptr, false, "empty request"},
        {"stat", nullptr, false, "unknown command 'stat' (status, peers, verdicts, connections or reload)"},
        {"STATUS", nullptr, false, "unknown command 'STATUS'"},
        {"json", nullptr, false, "unknown command 'json'"},
        {"status xml", nullptr, false, "unknown word 'xml' after status (only json)"},
        {"status json json", nullptr, false, "a request is a command, optionally followed by json"},
        {"status\r\r", nullptr, false, "unknown command 'status\\x0d'"},
        {"status\0json"s, nullptr, false, "unknown command 'status\\x00json'"},
        {"\x1b[2Jstatus", nullptr, false, "unknown command '\\x1b[2Jstatus'"},
        {"status \xff", nullptr, false, "unknown word '\\xff'"},
    };
    EmptyState state;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.line));
        ControlRequest req;
        std::string why = parse_control_request(c.line, req);
        std::string response = respond(c.line, state, true);
        if (c.command != nullptr) {
            ASSERT_EQ(why, "");
            EXPECT_STREQ(req.command->name, c.command);
            EXPECT_EQ(req.json, c.json);
            EXPECT_EQ(response.rfind("ok\n", 0), 0u) << response;
            EXPECT_EQ(response.substr(3, 1) == "{", c.json) << response;
        } else {
            EXPECT_EQ(req.command, nullptr);
            EXPECT_EQ(response.rfind("error: ", 0), 0u) << response;
            EXPECT_NE(response.find(c.error), std::string::npos) << response;
            EXPECT_TRUE(one_clean_line(response)) << response;
        }
    }
}

// A reload is done for root alone, and its failure is the response's error.
TEST(ControlRequest, ReloadForRootOnly) {
    EmptyState state;
    EXPECT_EQ(respond("reload", state, false), "error: reload: only root may ask for it\n");
    EXPECT_EQ(respond("status", state, false).rfind("ok\n", 0), 0u);
    EXPECT_EQ(state.reloads, 0);
    EXPECT_EQ(respond("reload", state, true), "ok\n");
    state.reloadError = "reload: /etc/norv/norvd.conf:3: unknown setting 'colour'; the running settings are kept";
    EXPECT_EQ(respond("reload", state, true), "error: " + state.reloadError + "\n");
    EXPECT_EQ(state.reloads, 2);
}

TEST(ControlRequest, ReaderTakesOneBoundedLine) {
    using State = ControlRequestReader::State;
    std::string longest(kControlRequestLimit - 1, 'a');  // with its line feed, the limit
    struct Case {
        const char *what;
        std::vector<std::string> chunks;
        bool closed;  // the client closed its side after the chunks
        State state;
        std::string line;
    } cases[] = {
        {"whole", {"status\n"}, false, State::kLine, "status"},
        {"in pieces", {"st", "", "atus js", "on\n"}, false, State::kLine, "status json"},
        {"not yet", {"status"}, false, State::kNeedMore, "status"},
        {"ended by a close", {"status"}, true, State::kLine, "status"},
        {"nothing, then a close", {}, true, State::kLine, ""},
        {"bytes after the line are not taken", {"peers\nverdicts\n", "x"}, false, State::kLine, "peers"},
        {"the longest line", {longest + "\n"}, false, State::kLine, longest},
        {"one byte too many", {longest + "a\n"}, false, State::kTooLong, longest},
        {"too long, a byte at a time", std::vector<std::string>(300, "b"), true, State::kTooLong,
         std::string(kControlRequestLimit - 1, 'b')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ControlRequestReader r;
        for (const std::string &chunk : c.chunks)
            r.feed(reinterpret_cast<const uint8_t *>(chunk.data()), chunk.size());
        if (c.closed) r.end();
        EXPECT_EQ(r.state(), c.state);
        EXPECT_EQ(r.line(), c.line);
    }
}

TEST(ControlRequest, JsonStringsOfAnyBytes) {
    using namespace std::string_literals;
    struct Case {
        std::string bytes, json;
    } cases[] = {
        {"", "\"\""},
        {"host-b", "\"host-b\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"line\nfeed\ttab", "\"line\\u000afeed\\u0009tab\""},
        {"\0\x1f\x7f\xff"s, "\"\\u0000\\u001f\\u007f\\u00ff\""},
    };
    for (const Case &c : cases) EXPECT_EQ(json_string(c.bytes), c.json);
}

// A peer's clock offset is shown in tenths of a microsecond, each end rounded
// away from the interval's inside, so that the interval shown still holds the
// one norvd knows; the round trip rounded up.
TEST(ControlRequest, PeersShowOffsetsRoundedOutward) {
    struct Case {
        int64_t low, high;
        uint64_t roundTrip;
        const char *offsetText, *roundTripText;
    } cases[] = {
        {-1234, 5601, 123'456, "-1.3 us .. +5.7 us", "123.5 us"},
        {-1200, 5600, 100, "-1.2 us .. +5.6 us", "0.1 us"},
        {-99, 1, 0, "-0.1 us .. +0.1 us", "0.0 us"},
        {4'389'818, 8'345'019, 3'920'079, "+4389.8 us .. +8345.1 us", "3920.1 us"},
        {-8'345'019, -4'389'818, 1, "-8345.1 us .. -4389.8 us", "0.1 us"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.offsetText);
        PeersView view;
        PeerView p;
        p.machine = 1;
        p.host = "10.0.0.2";
        p.reachable = true;
        p.reach = 0xFD;
        p.roundTripNs = c.roundTrip;
        p.offset = OffsetInterval{c.low, c.high};
        view.peers.push_back(p);
        std::string text = peers_body(view, false);
        EXPECT_NE(text.find(std::string("  ") + c.offsetText + "  "), std::string::npos) << text;
        EXPECT_NE(text.find(std::string("  ") + c.roundTripText + "  "), std::string::npos) << text;
        EXPECT_NE(text.find("  yes  "), std::string::npos) << text;
        EXPECT_NE(text.find("  375  "), std::string::npos) << text;  // the reach in octal
        std::string json = peers_body(view, true);
        EXPECT_NE(json.find("\"offset_ns\":{\"low\":" + std::to_string(c.low) + ",\"high\":" +
                            std::to_string(c.high) + "}"),
                  std::string::npos)
            << json;
        EXPECT_TRUE(one_clean_line(json));
    }
}

}  // namespace
}  // namespace norvd
