// control_channel.h: the control channel of norvd's clients.
//
// Clients connect on the connect device /dev/rtf1 with command 0 and
// get a channel number N, or a refusal; they then write their requests on
// /dev/rtfN and read their failure notices on /dev/rtf(N + 3). This part
// owns the devices (through the device maker, device_maker.h), the table of
// channel numbers (channels.h), the connections and the connect handshake
// of each (connect_handshake.h), the order in which the answers to command 0
// go out, the look for the holders of /dev/rtf1 that tells whose a
// connection is (holder_lookup.h), the users' shares of the connections
// (user_shares.h) and the life of each connection until its number may be
// given again (connection_life.h).
//
// Requests are replied to by the Service (commands.h); receipts for other
// machines go out through `forward`. The verdict delivery writes a
// connection's notices through write_notice() and learns of a connection's
// end through `ended`.
#ifndef NORVD_CONTROL_CHANNEL_H
#define NORVD_CONTROL_CHANNEL_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/channels.h"
#include "core/commands.h"
#include "core/connect_handshake.h"
#include "core/connection_life.h"
#include "core/control_protocol.h"
#include "config/options.h"
#include "core/user_shares.h"
#include "io/device_holders.h"
#include "io/holder_lookup.h"
#include "io/channel_device.h"
#include "loop/event_loop.h"
#include "parts/device_maker.h"
#include "setup/access_group.h"

namespace norvd {

class ControlChannel {
public:
    // A receipt for the norvd of another machine.
    using Forwarder = std::function<void(const Forward &forward)>;
    // Connection `channel` has ended, before its end is logged.
    using Ended = std::function<void(int channel)>;

    // Opens nothing yet. Only members of the access group may connect.
    ControlChannel(EventLoop &loop, Service &service, const AccessGroup &access, Forwarder forward,
                   Ended ended);
    ~ControlChannel();
    ControlChannel(const ControlChannel &) = delete;
    ControlChannel &operator=(const ControlChannel &) = delete;

    // Starts the device maker: call it early, while norvd is small. False
    // when it cannot (logged).
    bool start_devices(DevicePath path);
    // Makes /dev/rtf1, starts the look for its holders and publishes it:
    // clients can connect from then on. Signals that norvd takes through
    // its signalfd must be blocked already. False when it cannot (logged).
    bool open();
    // Registers with the loop, in this order, the look at every connection
    // every second and at the connections whose time has come.
    void add_turn_work();
    // Ends every connection and closes /dev/rtf1 (norvd stops).
    void close();

    // The file the connect device's link leads to, once open.
    const std::string &link() const { return connectDevice_->link(); }
    const std::string &node() const { return connectDevice_->node(); }

    // Writes a notice on connection `channel`'s notice device if it fits
    // there now; false otherwise, or when there is no such connection.
    bool write_notice(int channel, const uint8_t *record, size_t len);
    // Whether connection `channel` lives (its number may not be answered yet).
    bool live(int channel) const { return connections_.count(channel) != 0; }

    // The answered connections (noticesWaiting is left 0: the notices are
    // not the channel's), and how many there are.
    std::vector<ConnectionView> connections() const;
    size_t connected() const;
    // Requests read from every connection since start, ended ones included.
    uint64_t requests_read() const { return requestsRead_; }

private:
    struct Connection {
        std::unique_ptr<ChannelDevice> request;
        std::unique_ptr<ChannelDevice> notice;
        ConnectHandshake handshake;
        Owner owner;            // whose its devices are, as far as norvd can tell
        Account account;        // charged with it once answered (user_shares.h)
        uint64_t lookNs = 0;    // how long that look took
        BaseTime since;         // when its command 0 was read
        uint64_t requests = 0;  // read from its request device
    };
    // What read_requests() read from a device.
    struct RequestsRead {
        size_t bytes = 0;
        bool ended = false;  // its client ended the connection: the device is gone
    };

    // The connection whose request or notice device `dev` is, or nullptr.
    Connection *owner_of(const ChannelDevice &dev, int &channel, Device &which);

    // A device of a connection in the making is ready, or cannot be.
    void on_ready(ChannelDevice &dev, int status);
    // Results of the look for the holders of /dev/rtf1.
    void on_lookup();
    // A client closed a device.
    void on_closed(ChannelDevice &dev, BaseTime now);
    void on_input(ChannelDevice &dev);
    // Reads and serves every request waiting on the device, each with the
    // clock read after the request was: a stamp is never older than the
    // request that asked for it. Command 1 ends the connection once it has
    // been served, and nothing after it is read.
    RequestsRead read_requests(ChannelDevice &dev);
    // Returns whether the request ends its connection.
    bool serve(ChannelDevice &dev, const Request &req, BaseTime now);
    void connect();
    // Writes the answers to command 0 that are ready, in the order of the
    // commands: clients read them in that order. Returns whether it wrote.
    // Connections whose number could not be written are ended once the
    // answers are out: they are answered, so their end writes nothing.
    bool flush_answers();
    void refuse(int32_t value);
    // Gives the connection's devices their owner and publishes them; writes
    // its number, or a refusal. False when its number could not be written:
    // the connection is to be ended.
    bool finish_connect(int n);
    // Ends connection n in the making, its number never written: answers
    // `refusal` in its place.
    void abandon_connect(int n, int32_t refusal);
    // Writes an answer to command 0; false (logged) when it does not fit.
    bool answer(int32_t value, const char *what);
    void disconnect(int n, const char *why);
    void reply(ChannelDevice &dev, const std::vector<uint8_t> &bytes, const char *what);
    // The connect device has no client: what is left on it is theirs
    // no more.
    void settle_connect_device(BaseTime now);
    void check_connection(int n, BaseTime now);
    void release_limbo();
    // Every kTickNs: the connect device and every connection looked
    // at.
    void tick(BaseTime now);

    EventLoop &loop_;
    Service &service_;
    const AccessGroup access_;
    const Forwarder forward_;
    const Ended ended_;
    ChannelTable channels_;
    // The answered connections of each user. A channel is taken at command 0,
    // before its owner is known; the share is checked when the look has
    // told it, before the number goes out.
    UserShares connectionShares_{kConnectionShares};
    ConnectionLife life_;
    std::unique_ptr<DeviceMaker> devices_;
    std::unique_ptr<HolderLookup> lookup_;
    std::unique_ptr<ChannelDevice> connectDevice_;
    std::map<int, Connection> connections_;
    uint64_t requestsRead_ = 0;  // from every connection since start
    std::map<uint32_t, int> looks_;  // looks asked for: token -> channel
    uint32_t nextLook_ = 0;
    // The answers to command 0 not yet written, in the order of the
    // commands: a channel in the making, or a refusal (< 0).
    std::deque<int> answerOrder_;
    // Ended connections whose answer is still unread: their numbers wait,
    // and so does the share of the user of an answered one (nothing for one
    // ended before its answer), or ending connections at once would let one
    // user fill the table with numbers nobody can take.
    std::map<int, std::optional<Account>> limbo_;
    BaseTime nextTick_;
    bool open_ = false;
};

}  // namespace norvd

#endif  // NORVD_CONTROL_CHANNEL_H
