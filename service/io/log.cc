// log.cc: the lines of norvd's log, their severity, escaping and rate limits.
#include "io/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
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
std::string make_line(Severity severity, std::string_view text, std::string_view suffix, bool named) {
    std::string_view name = named ? "norvd: " : "";
    std::string line;
    line.reserve(3 + name.size() + text.size() + suffix.size() + 1);
    line += '<';
    line += static_cast<char>('0' + static_cast<int>(severity));
    line += '>';
    line += name;
    line += text;
    line += suffix;
    line += '\n';
    return line;
}

}  // namespace

std::string format_line(Severity severity, std::string_view text, bool named) {
    return make_line(severity, text, {}, named);
}

bool is_journal_stream(const char *journalStream, uint64_t dev, uint64_t ino) {
    if (journalStream == nullptr) return false;
    // Decimal digits up to `end`, as a number; false for none or too many.
    auto number = [](const char *&p, char end, uint64_t &out) {
        const char *start = p;
        out = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (out > (UINT64_MAX - 9) / 10) return false;
            out = out * 10 + static_cast<uint64_t>(*p - '0');
        }
        return p != start && *p++ == end;
    };
    const char *p = journalStream;
    uint64_t d = 0, i = 0;
    return number(p, ':', d) && number(p, '\0', i) && d == dev && i == ino;
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
    if (shows(s)) sink_(format_line(s, text, named_));
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
    sink_(make_line(s, text, suffix, named_));
}

void Log::flush() {
    BaseTime now = clock_();
    for (auto &[kind, k] : kinds_)
        if (auto count = k.limit.summary(now))
            sink_(format_line(k.severity, kind + ": " + std::to_string(*count) + " more suppressed", named_));
}

std::optional<BaseTime> Log::next_flush() const {
    std::optional<BaseTime> next;
    for (const auto &[kind, k] : kinds_)
        if (auto due = k.limit.summary_due(); due && (!next || *due < *next)) next = due;
    return next;
}

namespace {

// Standard error is the journal's stream: the journal puts "norvd[PID]: " on
// each line, so the log's own name would show twice.
bool stderr_is_journal() {
    struct stat st {};
    if (fstat(STDERR_FILENO, &st) != 0) return false;
    return is_journal_stream(getenv("JOURNAL_STREAM"), st.st_dev, st.st_ino);
}

}  // namespace

Log &process_log() {
    static SystemClocks clocks;
    static Log log(
        [](const std::string &line) { (void)!write(STDERR_FILENO, line.data(), line.size()); },
        [] { return BaseTime(clocks.base_ns()); }, Severity::kInfo, !stderr_is_journal());
    return log;
}

}  // namespace norvd
