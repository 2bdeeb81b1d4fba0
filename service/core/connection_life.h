// connection_life.h: when a connection's channel number may be given again.
//
// A client connects by writing command 0 on the connect device and
// reading the 4-byte answer, its channel number N; it then opens its request
// device N and its notice device N + 3. Nothing on a pty says who reads an
// answer: a client that dies between its command 0 and its read leaves its
// answer queued, and the next client to read takes it while its own answer
// waits for the one after. That is harmless as long as a channel whose
// answer may still be read is never ended nor handed out again.
//
// So the answers are tracked in the order written. An answer is known to be
// read when its connection is used (a client holds one of its devices or
// writes requests there): clients read answers in order, so every answer
// written before it has been read as well. When no client holds the
// connect device, norvd reads back what is left on it: those answers
// never reached anyone. (The kernel's count of unread bytes cannot serve:
// bytes written to a pty reach the reader's queue through a kernel worker,
// so the count may miss the latest ones for a while, and an answer would be
// taken for read that is still to come.)
//
// This module does no I/O: the caller reports what it wrote and saw, with
// the time on the base clock, and asks what to do.
#ifndef NORVD_CONNECTION_LIFE_H
#define NORVD_CONNECTION_LIFE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "core/times.h"

namespace norvd {

constexpr uint64_t kUnopenedTimeout = 10'000'000'000;
constexpr uint64_t kReclaimDelay = 50'000'000;
constexpr size_t kAnswerSize = 4;

enum class Device { kRequest = 0, kNotice = 1 };

enum class Reclaim {
    kKeep,
    kAnswerTakenBack,  // nobody ever read its number
    kClosed,           // its client closed both devices
    kUnopened,         // its number was read long ago and no client holds it
};

class ConnectionLife {
public:
    // An answer was written on the connect device: a channel number, or
    // a refusal (channel < 0), which takes room in the queue all the same.
    void answered(int channel);

    // norvd read back the `bytes` unread bytes of the connect device
    // itself. The answers wholly among them never reached a client: returns
    // their channels.
    std::vector<int> answers_taken_back(size_t bytes, BaseTime now);

    // Answers written and not yet known to be read.
    size_t unread_answers() const { return queue_.size(); }

    // A look at one device of a connection: whether a client holds it now.
    void seen(int channel, Device device, bool held, BaseTime now);

    // Requests were read from the connection's request device: some client
    // held it, even if it has closed it since.
    void requests_read(int channel, BaseTime now);

    // A client that held the device has closed it (others may still hold
    // it: a look follows).
    void client_closed(int channel, Device device, BaseTime now);

    // What to do with the connection, given the looks reported just before.
    Reclaim verdict(int channel, BaseTime now) const;

    // The connections whose verdict may have changed by `now` through time
    // alone, and the earliest time at which another one will.
    std::vector<int> due(BaseTime now) const;
    std::optional<BaseTime> next_due() const;

    // The connection has ended.
    void forget(int channel);

    // Whether an answer naming the channel is still unread: the number must
    // not be handed out again before it has gone, even if the connection
    // ended (a client that guessed the number may end it with command 1).
    bool queued(int channel) const;

private:
    enum class Answer { kUnread, kRead, kTakenBack };
    struct Life {
        Answer answer = Answer::kUnread;
        BaseTime readAt;
        std::array<bool, 2> held{};
        std::array<bool, 2> seenHeld{};
        std::array<BaseTime, 2> idleSince{};
    };
    std::optional<BaseTime> wake_time(const Life &l) const;
    void mark_read(int channel, BaseTime now);
    // The connection is in use: its answer and all before it were read.
    void used(int channel, BaseTime now);

    std::map<int, Life> lives_;
    std::deque<int> queue_;  // channels of the answers not known to be read, oldest first
};

}  // namespace norvd

#endif  // NORVD_CONNECTION_LIFE_H
