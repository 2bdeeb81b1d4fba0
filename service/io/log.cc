// log.cc: the lines of norvd's log, their severity, escaping and rate limits.
#include "io/log.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/clock_watch.h"

namespace norvd {

std::optional<Severity> parse_severity(std::string_view name) {
    if (name == "error") return Severity::kError;
    if (name == "warning") return Severity::kWarning;
    if (name == "info") return Severity::kInfo;
    if (name == "debug") return Severity::kDebug;
    return std::nullopt;
}

std::string failed(const char *call) {
    return std::string(call) + " failed: " + std::strerror(errno);
}

std::string escape(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b <= 0x7e && b != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xf];
        }
    }
    return out;
}

namespace {

// One allocation per line, suffix and all: lines of a flood go out every second.
std::string make_line(Severity severity, std::string_view text, std::string_view suffix) {
    constexpr std::string_view kName = ">norvd: ";
    std::string line;
    line.reserve(2 + kName.size() + text.size() + suffix.size() + 1);
    line += '<';
    line += static_cast<char>('0' + static_cast<int>(severity));
    line += kName;
    line += text;
    line += suffix;
    line += '\n';
    return line;
}

}  // namespace

std::string format_line(Severity severity, std::string_view text) {
    return make_line(severity, text, {});
}

bool RateLimit::open(BaseTime now, uint64_t seconds) const {
    return !last_ || now < *last_ || now - *last_ >= seconds * kIntervalNs;
}

std::optional<uint64_t> RateLimit::admit(BaseTime now) {
    if (!open(now, 1)) {
        ++suppressed_;
        return std::nullopt;
    }
    uint64_t told = suppressed_;
    suppressed_ = 0;
    last_ = now;
    return told;
}

std::optional<uint64_t> RateLimit::summary(BaseTime now) {
    if (suppressed_ == 0 || !open(now, 2)) return std::nullopt;
    return admit(now);
}

std::optional<BaseTime> RateLimit::summary_due() const {
    // Lines are only suppressed after one went out, so last_ is set.
    if (suppressed_ == 0) return std::nullopt;
    return *last_ + 2 * kIntervalNs;
}

void Log::write(Severity s, std::string_view text) {
    if (shows(s)) sink_(format_line(s, text));
}

std::optional<uint64_t> Log::admit(std::string_view kind, Severity s) {
    if (!shows(s)) return std::nullopt;
    auto it = kinds_.find(kind);
    if (it == kinds_.end()) it = kinds_.emplace(std::string(kind), Kind{}).first;
    auto told = it->second.limit.admit(clock_());
    if (!told) it->second.severity = s;
    return told;
}

void Log::emit(Severity s, std::string_view text, uint64_t told) {
    char suffix[48] = "";
    if (told != 0) snprintf(suffix, sizeof suffix, " (%" PRIu64 " more suppressed)", told);
    sink_(make_line(s, text, suffix));
}

void Log::flush() {
    BaseTime now = clock_();
    for (auto &[kind, k] : kinds_)
        if (auto count = k.limit.summary(now))
            sink_(format_line(k.severity, kind + ": " + std::to_string(*count) + " more suppressed"));
}

std::optional<BaseTime> Log::next_flush() const {
    std::optional<BaseTime> next;
    for (const auto &[kind, k] : kinds_)
        if (auto due = k.limit.summary_due(); due && (!next || *due < *next)) next = due;
    return next;
}

Log &process_log() {
    static SystemClocks clocks;
    static Log log(
        [](const std::string &line) { (void)!write(STDERR_FILENO, line.data(), line.size()); },
        [] { return BaseTime(clocks.base_ns()); });
    return log;
}

}  // namespace norvd
