// commands.h: what norvd replies to each request of a connection.
//
// The Service holds the state behind the replies (the registrations, the
// receipts accepted, the measurements and local failure detections) and turns
// a request into its reply bytes. It does no I/O: the caller passes the time
// on the base clock (clock_watch.h), writes the reply, forwards receipts to
// peers and delivers verdicts. Every time here is a base time.
#ifndef NORVD_COMMANDS_H
#define NORVD_COMMANDS_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/base_receipt.h"
#include "core/peer_wire.h"
#include "core/registrations.h"
#include "core/request_parser.h"
#include "core/service_clock.h"
#include "core/user_shares.h"
#include "io/log.h"

namespace norvd {

// Statuses that the reply of command 10 gives besides 0 (accepted).
constexpr int32_t kReceiptRepeated = 1;  // this datagram was already delivered here
constexpr int32_t kReceiptInvalid = 2;   // sender or registration id cannot be ours

// Status of an end request (commands 5 and 8) naming no running activity.
constexpr int32_t kUnknownHandle = -1;

struct ServiceConfig {
    uint8_t localId = 0;
    uint8_t groupMask = 1;  // bit i: machine i is in the group
    ServiceClock clock;
    ShareLimits registrationShares = kRegistrationShares;
    uint64_t graceNs = 100'000'000;  // a missing receipt is awaited 100 ms past the deadline
    size_t activityCapacity = 1024;  // measurements and local failure detections
    size_t receiptLogCapacity = 65536;
};

// A receipt to be sent to the norvd of machine `machine`; the peer group
// turns its base time into common time.
struct Forward {
    uint8_t machine;
    BaseReceipt receipt;
};

struct Outcome {
    std::vector<uint8_t> reply;  // empty: the command has no reply (or got none)
    bool disconnect = false;     // command 1: the connection ends
    std::optional<Forward> forward;
};

class Service {
public:
    Service(const ServiceConfig &config, Log &log);

    // A request read from the request FIFO of connection `connection` at
    // base time `now`, which is also the time a receipt (command 10) reached
    // norvd.
    Outcome handle(int connection, const Request &request, BaseTime now);

    // A receipt that the norvd of machine `from` reported, its receipt time
    // already on the base clock; it reached this machine at `reached`.
    void peer_receipt(uint8_t from, const BaseReceipt &receipt, BaseTime reached);

    // Verdicts due by now, and when the next one falls due.
    std::vector<Verdict> take_due(BaseTime now) { return registrations_.take_due(now); }
    std::optional<BaseTime> next_due() const { return registrations_.next_due(); }

    // Whose connection `connection` is: its registrations are charged to
    // `account` (user_shares.h). A connection never told is the unknown
    // owner's.
    void set_account(int connection, const Account &account);

    // The connection has gone: forget what it started, and whose it was.
    void connection_closed(int connection);

    const ServiceClock &clock() const { return config_.clock; }
    uint8_t local_id() const { return config_.localId; }
    size_t pending_registrations() const { return registrations_.pending(); }
    std::vector<int32_t> pending_ids() const { return registrations_.pending_ids(); }
    const Registrations &registrations() const { return registrations_; }

private:
    struct Activity {
        int connection;
        bool localFD;     // started by command 7, else by command 4
        ServiceTime start;
        uint64_t limit;   // command 7: the longest duration that is not a failure
    };

    // What a request brings to the handler of its command: the connection,
    // the payload (of the size that the command table gives), the base time
    // it was read at and the same moment on the clients' clock.
    struct Call {
        int connection;
        const uint8_t *payload;
        BaseTime baseNow;
        ServiceTime now;
    };
    using Handler = Outcome (Service::*)(const Call &);

    // The handlers, one per command of the command table (wire.h).
    Outcome connect(const Call &c);
    Outcome disconnect(const Call &c);
    Outcome timestamp(const Call &c);
    Outcome machine_id(const Call &c);
    Outcome start_measurement(const Call &c);
    Outcome end_measurement(const Call &c);
    Outcome start_exec(const Call &c);
    Outcome start_local_fd(const Call &c);
    Outcome end_local_fd(const Call &c);
    Outcome register_send(const Call &c);
    Outcome receipt(const Call &c);
    Outcome bind_server(const Call &c);
    Outcome socket_close(const Call &c);

    Outcome end_activity(const Call &c, bool localFD);
    int32_t start_activity(int connection, bool localFD, ServiceTime start, uint64_t limit);
    void record_receipt(int32_t id, uint8_t machine, BaseTime at, BaseTime reached,
                        std::optional<ReceiptBounds> bounds);

    ServiceConfig config_;
    Log &log_;
    Registrations registrations_;
    ReceiptLog receipts_;
    std::map<int32_t, Activity> activities_;
    int32_t lastHandle_ = 0;
    std::map<int, Account> accounts_;  // of the connections told
};

// Reads a fixed name field: up to its first NUL byte or its width.
std::string name_field(const uint8_t *buf, size_t off, size_t width);

// The same, as the log shows it: a client chose these bytes (log.h escape()).
std::string logged_name(const uint8_t *buf, size_t off, size_t width);

}  // namespace norvd

#endif  // NORVD_COMMANDS_H
