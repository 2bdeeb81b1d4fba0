// norvd's log: the escaping of client bytes, the severity of each line, the
// level that hides lines and the limit of one line a second per kind.
#include <gtest/gtest.h>

#include <random>

#include "io/log.h"

namespace norvd {
namespace {

using namespace std::string_literals;

TEST(Escape, PrintableAsciiStaysEverythingElseIsHex) {
    struct Row {
        std::string bytes, shown;
    } rows[] = {
        {"", ""},
        {"appmod1", "appmod1"},
        {" ~", " ~"},                          // 0x20 and 0x7e: the ends of what stays
        {"\x1f\x7f", "\\x1f\\x7f"},            // just outside them
        {"a\nb", "a\\x0ab"},                   // a newline cannot end the line
        {"\r<3>norvd: x", "\\x0d<3>norvd: x"}, // nor a carriage return start another
        {"\\x0a", "\\x5cx0a"},                 // a backslash cannot fake an escape
        {"\0\t"s, "\\x00\\x09"},
        {"\x80\xc3\xa9\xff", "\\x80\\xc3\\xa9\\xff"},  // no byte above 0x7e, UTF-8 or not
        {"\"%s%n\"", "\"%s%n\""},
    };
    for (const Row &r : rows) EXPECT_EQ(escape(r.bytes), r.shown) << r.shown;
}

// Reads an escaped text back; fails the test on anything escape() never writes.
std::string unescape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        EXPECT_TRUE(c >= 0x20 && c <= 0x7e) << "byte " << int(c) << " in " << text;
        if (c != '\\') {
            out += text[i];
            continue;
        }
        EXPECT_LT(i + 3, text.size() + 1) << text;
        EXPECT_EQ(text[i + 1], 'x') << text;
        out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
        i += 3;
    }
    return out;
}

// Any bytes at all come out as printable ASCII that reads back as the very
// same bytes: two different names never show the same.
TEST(Escape, RandomBytesReadBackUnambiguously) {
    std::mt19937 rng(1307);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(rng() % 60, '\0');
        for (char &b : bytes) b = static_cast<char>(rng() % 256);
        ASSERT_EQ(unescape(escape(bytes)), bytes);
    }
}

TEST(Severity, PrefixAndNames) {
    struct Row {
        const char *name;
        Severity severity;
        const char *line;
    } rows[] = {
        {"error", Severity::kError, "<3>norvd: text\n"},
        {"warning", Severity::kWarning, "<4>norvd: text\n"},
        {"info", Severity::kInfo, "<6>norvd: text\n"},
        {"debug", Severity::kDebug, "<7>norvd: text\n"},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(parse_severity(r.name), r.severity);
        EXPECT_EQ(format_line(r.severity, "text"), r.line);
        EXPECT_EQ(format_line(r.severity, "text", false), std::string(r.line).replace(3, 7, ""));
    }
    for (const char *bad : {"", "warn", "Info", "notice", "7", "debug "})
        EXPECT_EQ(parse_severity(bad), std::nullopt) << bad;
}

TEST(Severity, JournalStreamNamesTheDescriptor) {
    struct Row {
        const char *env;
        bool journal;
    } rows[] = {
        {"2049:131073", true},
        {"2049:131074", false},  // another inode: a stream handed on
        {"2050:131073", false},
        {nullptr, false},
        {"", false},
        {"2049", false},
        {"2049:", false},
        {":131073", false},
        {"2049:131073 ", false},
        {"-2049:131073", false},
        {"2049:131073:1", false},
        {"2049:99999999999999999999999", false},
    };
    for (const Row &r : rows) EXPECT_EQ(is_journal_stream(r.env, 2049, 131073), r.journal) << (r.env ? r.env : "null");
}

TEST(RateLimit, OneLineASecondAndTheCountOfTheRest) {
    constexpr std::optional<uint64_t> kNone;
    enum Op { kAdmit, kSummary };
    struct Row {
        uint64_t at;  // ns on the base clock
        Op op;
        std::optional<uint64_t> told;  // admit: the line goes out telling this count
        std::optional<uint64_t> due;   // summary_due() after it
    } rows[] = {
        {0, kAdmit, 0, kNone},                       // the first passes, nothing to tell
        {1'000, kAdmit, kNone, 2'000'000'000},       // a burst within the second: suppressed
        {500'000'000, kAdmit, kNone, 2'000'000'000},
        {999'999'999, kAdmit, kNone, 2'000'000'000},  // 1 ns short of the second: held
        {1'000'000'000, kAdmit, 3, kNone},           // the next second: passes with the count
        {1'000'000'001, kSummary, kNone, kNone},     // nothing suppressed since
        {1'500'000'000, kAdmit, kNone, 3'000'000'000},
        {2'500'000'000, kSummary, kNone, 3'000'000'000},  // a next line may still tell it
        {2'999'999'999, kSummary, kNone, 3'000'000'000},
        {3'000'000'000, kSummary, 1, kNone},         // a second without one: the summary tells it
        {3'000'000'001, kAdmit, kNone, 5'000'000'000},  // the summary was a line
        {4'000'000'000, kAdmit, 1, kNone},
        {9'000'000'000, kAdmit, 0, kNone},           // after a long quiet: at once
        {3'000'000'000, kAdmit, 0, kNone},           // the clock went back: not held up
        {3'100'000'000, kAdmit, kNone, 5'000'000'000},
        {3'200'000'000, kAdmit, kNone, 5'000'000'000},
        {2'000'000'000, kSummary, 2, kNone},         // nor are summaries
    };
    RateLimit limit;
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << (r.op == kAdmit ? "admit at " : "summary at ") << r.at);
        BaseTime at(r.at);
        EXPECT_EQ(r.op == kAdmit ? limit.admit(at) : limit.summary(at), r.told);
        std::optional<BaseTime> due = limit.summary_due();
        EXPECT_EQ(due ? std::optional(due->ns) : kNone, r.due);
    }
}

class LogTest : public ::testing::Test {
protected:
    std::vector<std::string> lines_;
    BaseTime now_{5'000'000'000};
    Log log_{[this](const std::string &l) { lines_.push_back(l); }, [this] { return now_; }};
};

TEST_F(LogTest, TheLevelHidesWhatIsLessSevere) {
    struct Row {
        Severity level;
        const char *shown;  // the prefixes written, in order; the last a limited debug line
    } rows[] = {
        {Severity::kError, "<3>"},
        {Severity::kWarning, "<3><4>"},
        {Severity::kInfo, "<3><4><6>"},
        {Severity::kDebug, "<3><4><6><7><7>"},  // the limited one as well
    };
    for (const Row &r : rows) {
        lines_.clear();
        log_.set_level(r.level);
        log_.error("e");
        log_.warning("w");
        log_.info("i");
        log_.debug("d");
        log_.limited("kind", Severity::kDebug, "d");
        now_ += RateLimit::kIntervalNs;
        std::string shown;
        for (const std::string &l : lines_) shown += l.substr(0, 3);
        EXPECT_EQ(shown, r.shown);
    }
}

TEST_F(LogTest, KindsAreLimitedApartAndTellTheirCounts) {
    for (int i = 0; i < 5; ++i) {
        log_.limited(event::kNonPeerDatagram, Severity::kWarning, "stranger " + std::to_string(i));
        log_.limited(event::kMalformedRequest, Severity::kInfo, "request " + std::to_string(i));
    }
    // Hidden lines are neither written nor counted.
    log_.set_level(Severity::kWarning);
    log_.limited(event::kMalformedRequest, Severity::kInfo, "hidden");
    log_.set_level(Severity::kInfo);
    EXPECT_EQ(lines_, (std::vector<std::string>{"<4>norvd: stranger 0\n", "<6>norvd: request 0\n"}));
    const BaseTime start = now_;
    EXPECT_EQ(log_.next_flush(), start + 2 * RateLimit::kIntervalNs);

    lines_.clear();
    now_ = start + RateLimit::kIntervalNs;
    log_.limited(event::kNonPeerDatagram, Severity::kWarning, "stranger 5");
    log_.flush();
    EXPECT_EQ(lines_, (std::vector<std::string>{"<4>norvd: stranger 5 (4 more suppressed)\n"}));
    EXPECT_EQ(log_.next_flush(), start + 2 * RateLimit::kIntervalNs);
    now_ = start + 2 * RateLimit::kIntervalNs;
    log_.flush();  // a summary for the kind that had no next line; its severity is theirs
    EXPECT_EQ(lines_.back(), "<6>norvd: malformed request: 4 more suppressed\n");
    EXPECT_EQ(log_.next_flush(), std::nullopt);
    log_.flush();
    EXPECT_EQ(lines_.size(), 2u);
}

// A flood must cost no formatting while its lines are suppressed or hidden.
TEST_F(LogTest, ATextIsMadeOnlyForALineThatGoesOut) {
    int made = 0;
    auto make = [&] { return "made " + std::to_string(++made); };
    for (int i = 0; i < 3; ++i) log_.limited(event::kDroppedReply, Severity::kWarning, make);
    log_.limited(event::kDroppedReply, Severity::kDebug, make);
    EXPECT_EQ(made, 1);
    now_ += RateLimit::kIntervalNs;
    log_.limited(event::kDroppedReply, Severity::kWarning, make);
    EXPECT_EQ(made, 2);
    EXPECT_EQ(lines_, (std::vector<std::string>{"<4>norvd: made 1\n",
                                                "<4>norvd: made 2 (2 more suppressed)\n"}));
}

}  // namespace
}  // namespace norvd
