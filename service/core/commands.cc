// commands.cc: the reply to each command of a connection.
#include "core/commands.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "wire.h"

namespace norvd {

using namespace norv::wire;

namespace {

std::vector<uint8_t> i32_reply(int32_t v) {
    std::vector<uint8_t> r(4);
    put_i32le(r.data(), kReplyAnswer, v);
    return r;
}

std::vector<uint8_t> u64_reply(uint64_t v) {
    std::vector<uint8_t> r(8);
    put_u64le(r.data(), kReplyAnswer, v);
    return r;
}

Outcome replying(std::vector<uint8_t> reply) {
    Outcome out;
    out.reply = std::move(reply);
    return out;
}

// printf into a string of the size it takes: escaped names may be long.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n <= 0) return {};
    std::string line(static_cast<size_t>(n) + 1, '\0');
    va_start(ap, fmt);
    vsnprintf(line.data(), line.size(), fmt, ap);
    va_end(ap);
    line.pop_back();
    return line;
}

uint64_t sat_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

std::string name_field(const uint8_t *buf, size_t off, size_t width) {
    const char *s = reinterpret_cast<const char *>(buf + off);
    return std::string(s, strnlen(s, width));
}

std::string logged_name(const uint8_t *buf, size_t off, size_t width) {
    return escape(name_field(buf, off, width));
}

Service::Service(const ServiceConfig &config, Log &log)
    : config_(config),
      log_(log),
      registrations_(config.localId, config.groupMask, config.registrationShares, config.graceNs),
      receipts_(config.receiptLogCapacity) {}

Outcome Service::handle(int connection, const Request &request, BaseTime baseNow) {
    int32_t cmd = request.command;
    const Command *row = find_command(cmd);
    if (row == nullptr) {
        log_.limited(event::kRequestNotServed, Severity::kWarning, [&] {
            return format("channel %d: unknown command %d (%zu payload bytes) ignored", connection,
                          cmd, request.payload.size());
        });
        return {};
    }
    if (request.payload.size() != row->payloadSize) {
        log_.limited(event::kRequestNotServed, Severity::kWarning, [&] {
            return format("channel %d: command %d with %zu payload bytes instead of %zu ignored",
                          connection, cmd, request.payload.size(), row->payloadSize);
        });
        return {};
    }
    // In the order of the command table, which the checks below hold it to.
    struct Entry {
        int32_t command;
        Handler handler;
    };
    static constexpr Entry kHandlers[] = {
        {command::kConnect, &Service::connect},
        {command::kDisconnect, &Service::disconnect},
        {command::kTimestamp, &Service::timestamp},
        {command::kMachineId, &Service::machine_id},
        {command::kStartMeasurement, &Service::start_measurement},
        {command::kEndMeasurement, &Service::end_measurement},
        {command::kStartExec, &Service::start_exec},
        {command::kStartLocalFD, &Service::start_local_fd},
        {command::kEndLocalFD, &Service::end_local_fd},
        {command::kRegisterSend, &Service::register_send},
        {command::kReceipt, &Service::receipt},
        {command::kBindServer, &Service::bind_server},
        {command::kSocketClose, &Service::socket_close},
    };
    static_assert(std::size(kHandlers) == std::size(kCommands), "one handler per command");
    static_assert([] {
        for (int32_t i = 0; i < kCommandCount; ++i)
            if (kHandlers[i].command != kCommands[i].number) return false;
        return true;
    }());
    Call call{connection, request.payload.data(), baseNow, config_.clock.service_time(baseNow)};
    // The handler is read before the call: g++ 12's array-bounds check
    // misreads the index inside a call through a pointer to member.
    const Handler handler = kHandlers[cmd].handler;
    return (this->*handler)(call);
}

Outcome Service::connect(const Call &c) {
    log_.limited(event::kRequestNotServed, Severity::kWarning, [&] {
        return format("channel %d: command 0 belongs on /dev/rtf1, ignored", c.connection);
    });
    return {};
}

Outcome Service::disconnect(const Call &) {
    Outcome out;
    out.disconnect = true;
    return out;
}

Outcome Service::timestamp(const Call &c) { return replying(u64_reply(c.now.ns)); }

Outcome Service::machine_id(const Call &) { return replying(i32_reply(config_.localId)); }

Outcome Service::start_measurement(const Call &c) {
    uint64_t value = get_u64le(c.payload, start_measurement::kValue);
    int32_t handle = start_activity(c.connection, false, c.now, 0);
    log_.info(format("channel %d: measurement %d started (value %" PRIu64 ")", c.connection, handle,
                     value));
    return replying(i32_reply(handle));
}

Outcome Service::end_measurement(const Call &c) { return end_activity(c, false); }

Outcome Service::end_local_fd(const Call &c) { return end_activity(c, true); }

Outcome Service::end_activity(const Call &c, bool localFD) {
    Outcome out;
    int connection = c.connection;
    int32_t handle = get_i32le(c.payload, int_payload::kValue);
    auto it = activities_.find(handle);
    size_t size = localFD ? end_local_fd_reply::kSize : end_measurement_reply::kSize;
    out.reply.assign(size, 0);
    uint8_t *r = out.reply.data();
    const char *what = localFD ? "local failure detection" : "measurement";
    // A handle is known only to the connection that started it: another
    // one that names it, guessed or not, ends nothing.
    bool others = it != activities_.end() && it->second.connection != connection;
    if (it == activities_.end() || it->second.localFD != localFD || others) {
        if (localFD)
            put_i32le(r, end_local_fd_reply::kStatus, kUnknownHandle);
        else
            put_u8(r, end_measurement_reply::kStatus, static_cast<uint8_t>(kUnknownHandle));
        log_.limited(event::kRefusedRequest, Severity::kWarning, [&] {
            return others ? format("channel %d: end of %s %d refused: channel %d started it",
                                   connection, what, handle, it->second.connection)
                          : format("channel %d: end of unknown %s %d", connection, what, handle);
        });
        return out;
    }
    ServiceTime start = it->second.start;
    uint64_t duration = c.now - start;
    bool failed = duration > it->second.limit;
    activities_.erase(it);
    if (localFD) {
        put_u64le(r, end_local_fd_reply::kFirst, start.ns);
        put_u64le(r, end_local_fd_reply::kSecond, duration);
        put_u8(r, end_local_fd_reply::kByte, failed ? 1 : 0);
        log_.info(format("channel %d: %s %d ended after %" PRIu64 " ns%s", connection, what, handle,
                         duration, failed ? ": failure, limit exceeded" : ""));
    } else {
        put_u64le(r, end_measurement_reply::kFirst, start.ns);
        put_u64le(r, end_measurement_reply::kSecond, duration);
        log_.info(format("channel %d: %s %d ended after %" PRIu64 " ns", connection, what, handle,
                         duration));
    }
    return out;
}

Outcome Service::start_exec(const Call &c) {
    const uint8_t *p = c.payload;
    uint64_t first = get_u64le(p, exec_request::kFirst);
    uint64_t deadline = sat_add(c.now.ns, first);
    if (deadline > kMaxServiceTime) deadline = kMaxServiceTime;
    log_.info(format("channel %d: timely execution %s/%s/%s \"%s\" (values %" PRIu64 " %" PRIu64
                     " %" PRIu64 "), deadline %" PRIu64,
                     c.connection,
                     logged_name(p, exec_request::kModuleName, exec_request::kNameWidth).c_str(),
                     logged_name(p, exec_request::kActivityName, exec_request::kNameWidth).c_str(),
                     logged_name(p, exec_request::kWcetName, exec_request::kNameWidth).c_str(),
                     logged_name(p, exec_request::kText, exec_request::kTextWidth).c_str(), first,
                     get_u64le(p, exec_request::kSecond), get_u64le(p, exec_request::kThird),
                     deadline));
    return replying(u64_reply(deadline));
}

Outcome Service::start_local_fd(const Call &c) {
    const uint8_t *p = c.payload;
    uint64_t limit = get_u64le(p, exec_request::kFirst);
    int32_t handle = start_activity(c.connection, true, c.now, limit);
    log_.info(format("channel %d: local failure detection %d started for %s/%s/%s, limit %" PRIu64
                     " ns (values %" PRIu64 " %" PRIu64 ")",
                     c.connection, handle,
                     logged_name(p, exec_request::kModuleName, exec_request::kNameWidth).c_str(),
                     logged_name(p, exec_request::kActivityName, exec_request::kNameWidth).c_str(),
                     logged_name(p, exec_request::kWcetName, exec_request::kNameWidth).c_str(),
                     limit, get_u64le(p, exec_request::kSecond),
                     get_u64le(p, exec_request::kThird)));
    return replying(i32_reply(handle));
}

Outcome Service::bind_server(const Call &c) {
    log_.debug(format("channel %d: server %d bound", c.connection,
                      get_i32le(c.payload, int_payload::kValue)));
    return {};
}

Outcome Service::socket_close(const Call &c) {
    log_.debug(format("channel %d: socket of server %d closed", c.connection,
                      get_i32le(c.payload, int_payload::kValue)));
    return {};
}

int32_t Service::start_activity(int connection, bool localFD, ServiceTime start, uint64_t limit) {
    if (activities_.size() >= config_.activityCapacity) return NORV_REFUSED_TABLE_FULL;
    do {
        lastHandle_ = lastHandle_ == INT32_MAX ? 1 : lastHandle_ + 1;
    } while (activities_.count(lastHandle_) != 0);
    activities_[lastHandle_] = Activity{connection, localFD, start, limit};
    return lastHandle_;
}

Outcome Service::register_send(const Call &c) {
    int connection = c.connection;
    const uint8_t *p = c.payload;
    BaseTime now = c.baseNow;
    uint64_t startStamp = get_u64le(p, register_send::kStartStamp);
    uint64_t first = get_u64le(p, register_send::kFirst);
    uint64_t relative = get_u64le(p, register_send::kSecond);
    uint8_t expected = get_u8(p, register_send::kValue8);
    int32_t value32 = get_i32le(p, register_send::kValue32);
    // A start stamp with its top bit set is a failed clock read: judge from now.
    BaseTime start = startStamp > kMaxServiceTime ? now : config_.clock.base_time(ServiceTime(startStamp));
    auto owner = accounts_.find(connection);
    Account account = owner == accounts_.end() ? Account::unknown() : owner->second;
    int32_t id = registrations_.add(connection, account, expected, relative, BaseTime(sat_add(start.ns, relative)));
    UserShares::Refusal over = id == NORV_REFUSED_TABLE_FULL ? registrations_.shares().may_take(account)
                                                             : UserShares::Refusal::kNone;
    if (over == UserShares::Refusal::kOwnShare || over == UserShares::Refusal::kOthersShare) {
        log_.limited(event::kRefusedShare, Severity::kWarning, [&] {
            return format("channel %d: registration refused (%d): %s", connection, id,
                          registrations_.shares().why(over, account, "pending registrations").c_str());
        });
    } else if (id < 0) {
        log_.limited(event::kRefusedRequest, Severity::kWarning, [&] {
            return format(
                "channel %d: registration refused (%d): machines 0x%02x, deadline %" PRIu64
                " ns, %zu pending",
                connection, id, expected, relative, registrations_.pending());
        });
    } else if (log_.shows(Severity::kInfo)) {  // one line per send: formatted only when shown
        std::string names =
            logged_name(p, register_send::kModuleName, register_send::kNameWidth) + "/" +
            logged_name(p, register_send::kActivityName, register_send::kNameWidth) + "/" +
            logged_name(p, register_send::kWcetName, register_send::kNameWidth);
        log_.info(format("channel %d: registration %d: machines 0x%02x, deadline %" PRIu64
                         " ns after %" PRIu64 ", values %" PRIu64 " %d, %s",
                         connection, id, expected, relative, startStamp, first, value32,
                         names.c_str()));
    }
    return replying(i32_reply(id));
}

Outcome Service::receipt(const Call &c) {
    const uint8_t *p = c.payload;
    BaseTime now = c.baseNow;
    Outcome out;
    int32_t id = get_i32le(p, receipt::kRegistrationId);
    uint64_t receiptTime = get_u64le(p, receipt::kReceiptTime);
    uint8_t sender = get_u8(p, receipt::kSender);
    if (sender >= MAX_MACHINES || id <= 0 || machine_of_id(id) != sender) {
        log_.limited(event::kRefusedReceipt, Severity::kWarning, [&] {
            return format(
                "receipt of registration %d from machine %u refused: not a registration "
                "of that machine",
                id, sender);
        });
        out.reply = i32_reply(kReceiptInvalid);
        return out;
    }
    if (!receipts_.first_time(sender, id)) {
        log_.limited(event::kRefusedReceipt, Severity::kWarning, [&] {
            return format("receipt of registration %d from machine %u refused: already delivered",
                          id, sender);
        });
        out.reply = i32_reply(kReceiptRepeated);
        return out;
    }
    out.reply = i32_reply(0);
    BaseTime at = receiptTime > kMaxServiceTime ? now : config_.clock.base_time(ServiceTime(receiptTime));
    if (sender == config_.localId) {
        record_receipt(id, config_.localId, at, now, ReceiptBounds{at, at, {}});
    } else if (config_.groupMask & (1u << sender)) {
        out.forward = Forward{sender, BaseReceipt{config_.localId, id, at}};
        if (log_.shows(Severity::kDebug))
            log_.debug(format("receipt of registration %d accepted, sent to machine %u", id, sender));
    } else if (log_.shows(Severity::kDebug)) {
        log_.debug(format("receipt of registration %d accepted; machine %u is not in the group", id,
                          sender));
    }
    return out;
}

void Service::peer_receipt(uint8_t from, const BaseReceipt &r, BaseTime reached) {
    if (r.receiver != from) {
        log_.limited(event::kMalformedPeerMessage, Severity::kWarning, [&] {
            return format("receipt from machine %u names machine %u, ignored", from, r.receiver);
        });
        return;
    }
    if (machine_of_id(r.registrationId) != config_.localId) {
        log_.limited(event::kMalformedPeerMessage, Severity::kWarning, [&] {
            return format("receipt from machine %u of registration %d, not ours, ignored", from,
                          r.registrationId);
        });
        return;
    }
    record_receipt(r.registrationId, from, r.receiptTime, reached, r.bounds);
}

void Service::record_receipt(int32_t id, uint8_t machine, BaseTime at, BaseTime reached,
                             std::optional<ReceiptBounds> bounds) {
    // Both times on the base clock, so that the log tells when each receipt
    // reached norvd against the deadline it was judged by.
    const char *note = nullptr;  // of a receipt told at info level
    switch (registrations_.record(id, machine, at, reached, bounds)) {
    case Registrations::Receipt::kRecorded:
        note = "";
        break;
    case Registrations::Receipt::kUnknown:
        note = ": no longer pending";
        break;
    case Registrations::Receipt::kTooLate:
        note = ": after its deadline and grace, not counted";
        break;
    case Registrations::Receipt::kNotExpected:
        log_.limited(event::kRefusedReceipt, Severity::kWarning, [&] {
            return format("registration %d received on machine %u, which it does not name", id,
                          machine);
        });
        break;
    case Registrations::Receipt::kRepeated:
        log_.limited(event::kRefusedReceipt, Severity::kWarning, [&] {
            return format("registration %d received again on machine %u, ignored", id, machine);
        });
        break;
    }
    // One line per receipt, which any datagram can bring: formatted only when shown.
    if (note != nullptr && log_.shows(Severity::kInfo))
        log_.info(format("registration %d received on machine %u at %" PRIu64 ", here at %" PRIu64
                         "%s",
                         id, machine, at.ns, reached.ns, note));
}

void Service::set_account(int connection, const Account &account) { accounts_[connection] = account; }

void Service::connection_closed(int connection) {
    accounts_.erase(connection);
    size_t dropped = registrations_.drop_connection(connection);
    if (dropped != 0)
        log_.info(format("channel %d: %zu pending registrations dropped", connection, dropped));
    for (auto it = activities_.begin(); it != activities_.end();) {
        if (it->second.connection == connection)
            it = activities_.erase(it);
        else
            ++it;
    }
}

}  // namespace norvd
