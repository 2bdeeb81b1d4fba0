// connect_handshake.h: where a connection in the making stands.
//
// Command 0 asks for the guards of the connection's two devices and for a
// look at who holds /dev/rtf1 (holder_lookup.h). Its answer waits until all
// three have answered, in every case: a refusal for a failed guard then
// leaves nothing asked for that could name the channel once it is given
// again. Then the connection is ready to answer (its number goes out, or a
// refusal when its user is beyond its share or its devices cannot be
// published), or it has failed (a guard could not take a device: a
// refusal). Once its number is written it is answered, and in use.
//
//   awaiting --(last of the guards and the look)--> ready --answered()--> answered
//            \-(... when a guard failed)----------> failed
//
// Events that do not belong to the state they come in (a guard answering
// twice, an answer before the connection is ready) leave it unchanged.
#ifndef NORVD_CONNECT_HANDSHAKE_H
#define NORVD_CONNECT_HANDSHAKE_H

namespace norvd {

class ConnectHandshake {
public:
    enum class State { kAwaiting, kReady, kFailed, kAnswered };
    // The guards a connection asks for: one per device.
    static constexpr int kGuards = 2;

    State state() const { return state_; }
    bool answered() const { return state_ == State::kAnswered; }

    // A guard answered: it holds its device, or it could not take it (or
    // the keeper went before it answered).
    void guard(bool holds) { step(Event::kGuard, holds); }
    // The look for the connection's user answered.
    void looked() { step(Event::kLook, true); }
    // The connection's number has been written.
    void answer() { step(Event::kAnswer, true); }

private:
    enum class Event { kGuard, kLook, kAnswer };
    void step(Event event, bool ok);

    State state_ = State::kAwaiting;
    int guards_ = kGuards;  // not yet answered
    bool looked_ = false;
    bool guardFailed_ = false;
};

}  // namespace norvd

#endif  // NORVD_CONNECT_HANDSHAKE_H
