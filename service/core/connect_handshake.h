// connect_handshake.h: where a connection in the making stands.
//
// Command 0 makes the connection's two devices and asks for a look at who
// holds /dev/rtf1 (io/holder_lookup.h). Its answer waits until both devices
// are ready or failed (with pseudo-terminals: their guards hold them) and
// the look is done, in every case: a refusal for a failed device then leaves
// nothing asked for that could name the channel once it is given again.
// Then the connection is ready to answer (its number goes out, or a refusal
// when its user is beyond its share or its devices cannot be published), or
// it has failed (a device could not be readied: a refusal).
// Once its number is written it is answered, and in use.
//
//   awaiting --(last of the devices and the look)--> ready --answered()--> answered
//            \-(... when a device failed)----------> failed
//
// Events that do not belong to the state they come in (a device told ready
// twice, an answer before the connection is ready) leave it unchanged.
#ifndef NORVD_CONNECT_HANDSHAKE_H
#define NORVD_CONNECT_HANDSHAKE_H

namespace norvd {

class ConnectHandshake {
public:
    enum class State { kAwaiting, kReady, kFailed, kAnswered };
    // The devices of a connection.
    static constexpr int kDevices = 2;

    State state() const { return state_; }
    bool answered() const { return state_ == State::kAnswered; }

    // One of the devices is ready to be published, or cannot be.
    void device_ready(bool ready) { step(Event::kDeviceReady, ready); }
    // The look for the connection's user is done.
    void looked() { step(Event::kLook, true); }
    // The connection's number has been written.
    void answer() { step(Event::kAnswer, true); }

private:
    enum class Event { kDeviceReady, kLook, kAnswer };
    void step(Event event, bool ok);

    State state_ = State::kAwaiting;
    int devices_ = kDevices;  // not yet told
    bool looked_ = false;
    bool deviceFailed_ = false;
};

}  // namespace norvd

#endif  // NORVD_CONNECT_HANDSHAKE_H
