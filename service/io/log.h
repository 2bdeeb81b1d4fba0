// log.h: norvd's log.
//
// One line per event on standard error: "<N>norvd: TEXT", where N is the
// line's severity as journald reads it at the start of a line of a service's
// standard error (3 error, 4 warning, 6 info, 7 debug). The level chosen at
// start hides every line less severe than it. When standard error is the
// journal, which names the program on each line itself, a line is "<N>TEXT".
//
// Two kinds of text never reach a line as they came:
// - bytes that a client or a datagram chose (names, texts) go through
//   escape(), so that they cannot end a line or forge the start of another;
// - events that others can repeat at any rate (datagrams from strangers,
//   malformed requests, refusals, drops) go through limited(): at most one
//   line a second for each kind, the rest counted and the count told by the
//   next line of that kind, or by a summary line when a whole second more
//   passed without one.
//
// The process's log writes to standard error on the base clock
// (clock_watch.h); tests make a Log of their own with a sink and a clock.
#ifndef NORVD_LOG_H
#define NORVD_LOG_H

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/times.h"

namespace norvd {

enum class Severity { kError = 3, kWarning = 4, kInfo = 6, kDebug = 7 };

// "error", "warning", "info" or "debug"; nothing for any other name.
std::optional<Severity> parse_severity(std::string_view name);

// Bytes made safe for one log line: printable ASCII (0x20 to 0x7e) stays as
// it is, except the backslash; the backslash and every other byte become
// "\xHH" (two lowercase hex digits), so the text reads back unambiguously.
// "<call> failed: <system text>" for the current errno.
std::string failed(const char *call);

std::string escape(std::string_view bytes);

// The whole line: "<N>norvd: TEXT\n", or "<N>TEXT\n" when not `named`.
std::string format_line(Severity severity, std::string_view text, bool named = true);

// Whether a descriptor of device `dev` and inode `ino` is the journal's
// stream that `journalStream` names: systemd sets JOURNAL_STREAM to
// "DEV:INODE" (decimal) for a service whose output goes to the journal. A
// stream handed on (a redirection, a pipe) has another inode.
bool is_journal_stream(const char *journalStream, uint64_t dev, uint64_t ino);

// At most one line a second of one kind of event, on the base clock.
class RateLimit {
public:
    static constexpr uint64_t kIntervalNs = 1'000'000'000;

    // An event at `now`. Nothing when its line is to be suppressed (it is
    // counted); else the line goes out now, and the value is the number of
    // lines suppressed since the last one, for it to tell (0: none).
    std::optional<uint64_t> admit(BaseTime now);

    // When lines were suppressed and two seconds have passed since the last
    // line (the second after it, and a second in which no line came to tell
    // the count): their count, for a summary line, which counts as a line.
    // Else nothing. Under a steady flood the lines themselves tell the count,
    // so a line of the flood still goes out each second.
    std::optional<uint64_t> summary(BaseTime now);

    // When summary() will have a count to give; nothing while none waits.
    std::optional<BaseTime> summary_due() const;

private:
    // A line may go out at `now`: none went out yet, the last one is
    // `seconds` old, or the clock went back (it does not hold lines up).
    bool open(BaseTime now, uint64_t seconds) const;

    std::optional<BaseTime> last_;  // when the last line went out
    uint64_t suppressed_ = 0;
};

// Kinds of events that others can repeat at any rate; each kind names its
// summary line ("KIND: N more suppressed"). A new kind is a new name.
namespace event {
constexpr const char *kMalformedRequest = "malformed request";
constexpr const char *kRequestNotServed = "request not served";
constexpr const char *kRefusedRequest = "refused request";
constexpr const char *kRefusedShare = "refused over a user's share";
constexpr const char *kDroppedReply = "dropped reply";
constexpr const char *kDroppedNotice = "dropped notice";
constexpr const char *kRefusedReceipt = "refused receipt";
constexpr const char *kNonPeerDatagram = "datagram from a non-peer";
constexpr const char *kMalformedPeerMessage = "malformed peer message";
constexpr const char *kDroppedPeerMessage = "dropped peer message";
constexpr const char *kFailedPeerSend = "failed send to a peer";
constexpr const char *kUnsentReceipt = "receipt for an unresolved peer";
constexpr const char *kControlClient = "control client";
constexpr const char *kBadProbe = "probe answer with impossible times";
constexpr const char *kOffsetJump = "peer clock offset jump";
constexpr const char *kWideOffset = "peer clock offset against a deadline";
}  // namespace event

class Log {
public:
    // Takes one whole line, as format_line() makes it.
    using Sink = std::function<void(const std::string &line)>;
    // The base clock.
    using Clock = std::function<BaseTime()>;

    // `named`: the lines carry "norvd: " after their severity.
    Log(Sink sink, Clock clock, Severity level = Severity::kInfo, bool named = true)
        : sink_(std::move(sink)), clock_(std::move(clock)), level_(level), named_(named) {}

    void set_level(Severity level) { level_ = level; }
    // Lines of this severity are written.
    bool shows(Severity s) const { return static_cast<int>(s) <= static_cast<int>(level_); }

    void write(Severity s, std::string_view text);
    void error(std::string_view text) { write(Severity::kError, text); }
    void warning(std::string_view text) { write(Severity::kWarning, text); }
    void info(std::string_view text) { write(Severity::kInfo, text); }
    void debug(std::string_view text) { write(Severity::kDebug, text); }

    // A line of an event of `kind` (event:: above): at most one a second per
    // kind; a line that goes out after others were suppressed ends with
    // " (N more suppressed)". A hidden severity neither writes nor counts.
    void limited(std::string_view kind, Severity s, std::string_view text) {
        if (auto told = admit(kind, s)) emit(s, text, *told);
    }
    // The same, the text made by `make` only when the line goes out: an event
    // that comes in floods costs no formatting (nor allocation) while its
    // lines are suppressed.
    template <typename Make, typename = std::enable_if_t<std::is_invocable_r_v<std::string, Make>>>
    void limited(std::string_view kind, Severity s, Make &&make) {
        if (auto told = admit(kind, s)) emit(s, make(), *told);
    }

    // Writes the summary line "KIND: N more suppressed" of every kind whose
    // count is due (RateLimit::summary); the loop calls it at next_flush().
    void flush();
    std::optional<BaseTime> next_flush() const;

private:
    // Counts an event of `kind`; when its line goes out, the number of lines
    // suppressed before it.
    std::optional<uint64_t> admit(std::string_view kind, Severity s);
    void emit(Severity s, std::string_view text, uint64_t told);

    struct Kind {
        RateLimit limit;
        Severity severity = Severity::kWarning;  // of its last suppressed line
    };

    Sink sink_;
    Clock clock_;
    Severity level_;
    bool named_;
    std::map<std::string, Kind, std::less<>> kinds_;
};

// The log of the process: standard error, the base clock, level info until
// main sets it; lines without "norvd: " when standard error is the journal.
// The short forms are what norvd's own code calls.
Log &process_log();
inline void log_error(std::string_view text) { process_log().error(text); }
inline void log_warning(std::string_view text) { process_log().warning(text); }
inline void log_info(std::string_view text) { process_log().info(text); }
inline void log_debug(std::string_view text) { process_log().debug(text); }
inline void log_limited(std::string_view kind, Severity s, std::string_view text) {
    process_log().limited(kind, s, text);
}
template <typename Make, typename = std::enable_if_t<std::is_invocable_r_v<std::string, Make>>>
void log_limited(std::string_view kind, Severity s, Make &&make) {
    process_log().limited(kind, s, std::forward<Make>(make));
}

}  // namespace norvd

#endif  // NORVD_LOG_H
