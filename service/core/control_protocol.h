// control_protocol.h: the requests of norvd's control socket and their
// responses.
//
// A client (norvctl) connects to the socket, writes one request line, and
// reads the response until norvd closes the connection. The line is a command
// name, optionally followed by the word "json", and a line feed:
//
//   status | peers | verdicts | connections | reload  [json]  LF
//
// The response starts with a line "ok" followed by the body (a text table, or
// one line of JSON), or is a single line "error: TEXT". `reload` has norvd
// read its configuration file again (as SIGHUP does) before it responds: its
// body is empty ("{}" in JSON), or its error says why the running settings
// were kept; only root may ask for it. One table
// (kControlCommands) describes the commands; the parser, the dispatch and the
// fuzz target are derived from it. No I/O here: control_socket.h reads and
// writes, and the daemon fills in the views through DaemonState.
#ifndef NORVD_CONTROL_PROTOCOL_H
#define NORVD_CONTROL_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock_watch.h"
#include "core/notice_queue.h"
#include "core/peer_clock.h"
#include "core/verdict_stats.h"
#include "io/peer_messages.h"

namespace norvd {

// The longest request line, its line feed included: a request is a command
// and a word, so anything longer is not one.
constexpr size_t kControlRequestLimit = 256;

// What `status` shows.
struct StatusView {
    uint8_t machine = 0;
    uint8_t group = 1;  // bit i: machine i is in the group
    uint64_t uptimeNs = 0;
    uint64_t baseNs = 0;  // the base clock now
    int64_t clockOffsetNs = 0;
    double clockDriftPpm = 0.0;
    int64_t commonMinusBaseNs = 0;
    SyncState sync;
    bool authenticated = false;  // peer messages carry a code (version 2)
    size_t connections = 0;
    size_t pendingRegistrations = 0;
    uint64_t registrations = 0;         // registered since start
    uint64_t refusedRegistrations = 0;  // command 9 refused
    size_t noticesWaiting = 0;
    NoticeDrops noticesDropped;
    size_t controlClients = 0;
};

// One peer of `peers`.
struct PeerView {
    uint8_t machine = 0;
    std::string host;     // as configured: an address or a name
    std::string address;  // "ADDR:PORT", empty while a name is not resolved
    std::optional<uint64_t> heardAgoNs;     // any message from its address
    std::optional<uint64_t> acceptedAgoNs;  // a message taken
    std::optional<uint64_t> heardAtCommonNs;  // the last message heard, in common time
    PeerCounters counters;
    uint64_t receipts = 0;  // of the messages accepted, receipts (the others are probes)
    // What the probes tell: whether it answers now, which of the last 8
    // requests it answered (bit k: k requests ago), how many were sent, when
    // the last answer came, the last round trip, and the interval of its
    // clock offset now (its common clock minus this machine's).
    bool reachable = false;
    uint8_t reach = 0;
    uint64_t probes = 0;
    std::optional<uint64_t> answeredAgoNs;
    std::optional<uint64_t> roundTripNs;
    std::optional<OffsetInterval> offset;
};

struct PeersView {
    std::vector<PeerView> peers;
    uint64_t notPeer = 0;  // messages from addresses that are no peer's
};

// One connection of `connections`.
struct ConnectionView {
    int channel = 0;
    std::optional<uint32_t> uid;  // its devices' user, when norvd could tell
    std::string userName;         // that user's name, or "" when it has none
    uint64_t requests = 0;        // read from its request device
    size_t pending = 0;           // its registrations awaiting their verdict
    size_t noticesWaiting = 0;    // its notices waiting for room
    uint64_t ageNs = 0;
};

// Where the views come from: the daemon, or a test's fixed state.
class DaemonState {
public:
    virtual ~DaemonState() = default;
    virtual StatusView status() = 0;
    virtual PeersView peers() = 0;
    virtual std::vector<MachineVerdicts> verdicts() = 0;
    virtual std::vector<ConnectionView> connections() = 0;
    // Requests read from every connection's request device since start.
    virtual uint64_t requests_read() = 0;
    // Reads the configuration file again and takes what a reload takes.
    // Returns "" or why the running settings were kept.
    virtual std::string reload() = 0;
};

// A command of the control socket: its name, what it shows, and its
// response's body (text or JSON). A command that changes norvd has `act`,
// done before the body is made: it returns "" or why it failed, the error
// of the response. Only root may ask for such a command.
struct ControlCommand {
    const char *name;
    const char *summary;
    std::string (*body)(DaemonState &state, bool json);
    std::string (*act)(DaemonState &state) = nullptr;
};
extern const ControlCommand kControlCommands[];
extern const size_t kControlCommandCount;

// A request read from a client: the command and whether JSON was asked for.
struct ControlRequest {
    const ControlCommand *command = nullptr;
    bool json = false;
};

// Parses a request line (without its line feed; a carriage return before it
// is allowed). Returns "" or what is wrong with it.
std::string parse_control_request(std::string_view line, ControlRequest &out);

// The whole response to a request line of a client that is root or not:
// "ok\n" and the body, or "error: ...\n".
std::string respond(std::string_view line, DaemonState &state, bool root);

// An error response: "error: TEXT\n", TEXT escaped as the log escapes.
std::string control_error(std::string_view text);

// Collects the bytes of one client until its request line is whole.
class ControlRequestReader {
public:
    enum class State {
        kNeedMore,  // no line feed yet
        kLine,      // line() is the request (without its line feed)
        kTooLong,   // kControlRequestLimit bytes came without a line feed
    };
    // Appends bytes read from the client; once a line is whole (or too long),
    // more bytes change nothing.
    State feed(const uint8_t *data, size_t len);
    // The client closed its side: what came is the request, line feed or not.
    State end();
    State state() const { return state_; }
    const std::string &line() const { return buffer_; }

private:
    std::string buffer_;
    State state_ = State::kNeedMore;
};

// The bodies, also used by the tests.
std::string status_body(const StatusView &s, bool json);
std::string peers_body(const PeersView &p, bool json);
std::string verdicts_body(const std::vector<MachineVerdicts> &v, bool json);
std::string connections_body(const std::vector<ConnectionView> &c, bool json);

// A JSON string literal of any bytes: quotes, backslashes and control
// characters escaped, bytes above 0x7e as \u00XX (one code point per byte).
std::string json_string(std::string_view bytes);

}  // namespace norvd

#endif  // NORVD_CONTROL_PROTOCOL_H
