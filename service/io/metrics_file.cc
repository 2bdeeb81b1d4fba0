// metrics_file.cc: the metrics as Prometheus text, and the thread that
// replaces the file.
#include "io/metrics_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

#include "io/log.h"
#include "norv.h"

namespace norvd {

using norv::Fd;

namespace {

using Labels = std::vector<std::pair<const char *, std::string>>;

// An exact decimal of value / 10^digits: "-59.999999" for -59999999 us.
std::string decimal(int64_t value, int digits) {
    uint64_t scale = 1;
    for (int i = 0; i < digits; ++i) scale *= 10;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    char text[48];
    snprintf(text, sizeof text, "%s%" PRIu64 ".%0*" PRIu64, value < 0 ? "-" : "", magnitude / scale, digits,
             magnitude % scale);
    return text;
}

std::string seconds_of_ns(uint64_t ns) { return decimal(static_cast<int64_t>(ns > INT64_MAX ? INT64_MAX : ns), 9); }
std::string seconds_of_us(int64_t us) { return decimal(us, 6); }
std::string seconds_of_us(std::optional<int32_t> us) { return us ? seconds_of_us(int64_t{*us}) : "NaN"; }

// A label value: backslash, double quote and line feed escaped.
std::string label_value(const std::string &v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

class Exposition {
public:
    // A family: its HELP and TYPE lines, before any of its samples.
    Exposition &family(const char *name, const char *type, const char *help) {
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        return *this;
    }
    Exposition &sample(const std::string &name, const Labels &labels, const std::string &value) {
        text_ += name;
        if (!labels.empty()) {
            text_ += "{";
            for (size_t i = 0; i < labels.size(); ++i)
                text_ += (i == 0 ? "" : ",") + std::string(labels[i].first) + "=\"" + label_value(labels[i].second) +
                         "\"";
            text_ += "}";
        }
        text_ += " " + value + "\n";
        return *this;
    }
    Exposition &sample(const std::string &name, const std::string &value) { return sample(name, {}, value); }
    Exposition &comment(std::string_view line) {
        text_.append(line).append("\n");
        return *this;
    }
    const std::string &text() const { return text_; }

private:
    std::string text_;
};

std::string num(uint64_t v) { return std::to_string(v); }

std::string metric_label(const char *name) {
    std::string k = name;
    for (char &c : k)
        if (c == '-') c = '_';
    return k;
}

void status_metrics(Exposition &e, const StatusView &s) {
    e.family("norv_build_info", "gauge", "The version of norvd, as a label; always 1.")
        .sample("norv_build_info", {{"version", NORV_VERSION}}, "1");
    e.family("norv_machine_id", "gauge", "The machine id of this machine in its group (0 to 4).")
        .sample("norv_machine_id", num(s.machine));
    e.family("norv_uptime_seconds", "gauge", "Time since norvd started, on the base clock (CLOCK_BOOTTIME).")
        .sample("norv_uptime_seconds", seconds_of_ns(s.uptimeNs));
    e.family("norv_clock_synchronised", "gauge", "1 when the kernel counts the clock as synchronised, else 0.")
        .sample("norv_clock_synchronised", s.sync.synchronised ? "1" : "0");
    e.family("norv_clock_estimated_error_seconds", "gauge", "The kernel's estimated error of the clock.")
        .sample("norv_clock_estimated_error_seconds", seconds_of_us(s.sync.estimatedErrorUs));
    e.family("norv_clock_maximum_error_seconds", "gauge", "The kernel's maximum error of the clock.")
        .sample("norv_clock_maximum_error_seconds", seconds_of_us(s.sync.maximumErrorUs));
    e.family("norv_connections", "gauge", "Connections of clients to the control channel.")
        .sample("norv_connections", num(s.connections));
    e.family("norv_registrations_pending", "gauge", "Registered sends awaiting their verdict.")
        .sample("norv_registrations_pending", num(s.pendingRegistrations));
    e.family("norv_registrations_total", "counter", "Sends registered (command 9 accepted).")
        .sample("norv_registrations_total", num(s.registrations));
    e.family("norv_registrations_refused_total", "counter", "Registrations refused (table full, no receiver).")
        .sample("norv_registrations_refused_total", num(s.refusedRegistrations));
    e.family("norv_notices_waiting", "gauge", "Failure notices waiting for room on their connection's device.")
        .sample("norv_notices_waiting", num(s.noticesWaiting));
    e.family("norv_notices_dropped_total", "counter", "Failure notices dropped, by reason.")
        .sample("norv_notices_dropped_total", {{"reason", "connection_full"}}, num(s.noticesDropped.connectionFull))
        .sample("norv_notices_dropped_total", {{"reason", "all_full"}}, num(s.noticesDropped.allFull))
        .sample("norv_notices_dropped_total", {{"reason", "connection_ended"}}, num(s.noticesDropped.connectionEnded));
    e.family("norv_control_clients", "gauge", "Clients of the control socket being served.")
        .sample("norv_control_clients", num(s.controlClients));
}

void peer_metrics(Exposition &e, const PeersView &p) {
    e.family("norv_peer_messages_total", "counter",
             "Messages from each peer's address on UDP port 16007, by result: accepted or the cause of rejection.");
    for (const PeerView &v : p.peers)
        for (const PeerCounterName &n : kPeerCounterNames)
            if (n.field != &PeerCounters::notPeer)
                e.sample("norv_peer_messages_total", {{"machine", num(v.machine)}, {"result", metric_label(n.name)}},
                         num(v.counters.*n.field));
    e.family("norv_nonpeer_messages_total", "counter", "Messages on UDP port 16007 from addresses that are no peer's.")
        .sample("norv_nonpeer_messages_total", num(p.notPeer));
    e.family("norv_peer_reachable", "gauge",
             "1 while the peer answers the probes (an answer in the last 2.5 s; one is asked for every second), else 0.");
    for (const PeerView &v : p.peers) e.sample("norv_peer_reachable", {{"machine", num(v.machine)}}, num(v.reachable ? 1 : 0));
    e.family("norv_peer_reach", "gauge",
             "Which of the last 8 probes of each peer were answered, as a number: bit k for the probe k probes ago.");
    for (const PeerView &v : p.peers) e.sample("norv_peer_reach", {{"machine", num(v.machine)}}, num(v.reach));
    e.family("norv_peer_probes_total", "counter", "Probes sent to each peer.");
    for (const PeerView &v : p.peers) e.sample("norv_peer_probes_total", {{"machine", num(v.machine)}}, num(v.probes));
    e.family("norv_peer_round_trip_seconds", "gauge", "The round trip of the last exchange with each peer that answered.");
    for (const PeerView &v : p.peers)
        if (v.roundTripNs) e.sample("norv_peer_round_trip_seconds", {{"machine", num(v.machine)}}, seconds_of_ns(*v.roundTripNs));
    e.family("norv_peer_clock_offset_seconds", "gauge",
             "Bounds of each peer's clock offset (its common clock minus this machine's): the true offset lies "
             "between the low and the high bound.");
    for (const PeerView &v : p.peers)
        if (v.offset)
            e.sample("norv_peer_clock_offset_seconds", {{"machine", num(v.machine)}, {"bound", "low"}},
                     decimal(v.offset->low, 9))
                .sample("norv_peer_clock_offset_seconds", {{"machine", num(v.machine)}, {"bound", "high"}},
                        decimal(v.offset->high, 9));
    e.family("norv_peer_last_message_timestamp_seconds", "gauge",
             "When the last message from each peer's address arrived, in seconds since the epoch (peers heard).");
    for (const PeerView &v : p.peers)
        if (v.heardAtCommonNs)
            e.sample("norv_peer_last_message_timestamp_seconds", {{"machine", num(v.machine)}},
                     seconds_of_ns(*v.heardAtCommonNs));
}

void verdict_metrics(Exposition &e, const std::vector<MachineVerdicts> &verdicts) {
    auto by_kind = [&](const char *name, const MachineVerdicts &m, const VerdictCounts &c) {
        std::string machine = num(m.machine);
        e.sample(name, {{"machine", machine}, {"verdict", "timely"}}, num(c.timely))
            .sample(name, {{"machine", machine}, {"verdict", "late"}}, num(c.late))
            .sample(name, {{"machine", machine}, {"verdict", "unknown"}}, num(c.unknown));
    };
    e.family("norv_verdicts_total", "counter",
             "Verdicts on each machine of the group: timely, late (lateness known) or unknown (no receipt).");
    for (const MachineVerdicts &m : verdicts) by_kind("norv_verdicts_total", m, m.sinceStart);
    e.family("norv_verdicts_last_minute", "gauge", "Verdicts on each machine of the last 60 to 70 s, by kind.");
    for (const MachineVerdicts &m : verdicts) by_kind("norv_verdicts_last_minute", m, m.lastMinute);
    e.family("norv_verdicts_undecidable_total", "counter",
             "Of the timely and late verdicts on each machine, those the clocks cannot decide: the receipt may lie "
             "on either side of the deadline, as far as the peer's clock offset is known.");
    for (const MachineVerdicts &m : verdicts)
        e.sample("norv_verdicts_undecidable_total", {{"machine", num(m.machine)}}, num(m.sinceStart.undecidable));
    e.family("norv_verdict_lateness_seconds", "summary",
             "Lateness of the verdicts with a receipt (receipt minus deadline, negative when timely): quantiles "
             "over the last 60 to 70 s within 1/64 of their magnitude, sum and count since start.");
    for (const MachineVerdicts &m : verdicts) {
        std::string machine = num(m.machine);
        const LatenessSummary &l = m.lastMinuteLateness;
        e.sample("norv_verdict_lateness_seconds", {{"machine", machine}, {"quantile", "0.5"}}, seconds_of_us(l.median))
            .sample("norv_verdict_lateness_seconds", {{"machine", machine}, {"quantile", "0.99"}}, seconds_of_us(l.p99))
            .sample("norv_verdict_lateness_seconds_sum", {{"machine", machine}},
                    seconds_of_us(m.sinceStartLateness.sumUs))
            .sample("norv_verdict_lateness_seconds_count", {{"machine", machine}}, num(m.sinceStartLateness.count));
    }
    // The same since start: a summary of its own, since a gauge may not carry
    // a quantile label; its sum and count are those above.
    e.family("norv_verdict_lateness_since_start_seconds", "summary",
             "Lateness of the verdicts with a receipt since start: quantiles within 1/64 of their magnitude, "
             "sum and count.");
    for (const MachineVerdicts &m : verdicts) {
        std::string machine = num(m.machine);
        const LatenessSummary &l = m.sinceStartLateness;
        e.sample("norv_verdict_lateness_since_start_seconds", {{"machine", machine}, {"quantile", "0.5"}},
                 seconds_of_us(l.median))
            .sample("norv_verdict_lateness_since_start_seconds", {{"machine", machine}, {"quantile", "0.99"}},
                    seconds_of_us(l.p99))
            .sample("norv_verdict_lateness_since_start_seconds_sum", {{"machine", machine}}, seconds_of_us(l.sumUs))
            .sample("norv_verdict_lateness_since_start_seconds_count", {{"machine", machine}}, num(l.count));
    }
    e.family("norv_verdict_lateness_max_seconds", "gauge",
             "The largest lateness of the verdicts, exactly, over the last 60 to 70 s and since start.");
    for (const MachineVerdicts &m : verdicts) {
        std::string machine = num(m.machine);
        e.sample("norv_verdict_lateness_max_seconds", {{"machine", machine}, {"window", "last_minute"}},
                 seconds_of_us(m.lastMinuteLateness.max))
            .sample("norv_verdict_lateness_max_seconds", {{"machine", machine}, {"window", "since_start"}},
                    seconds_of_us(m.sinceStartLateness.max));
    }
}

// Totals only: a label per connection or per user would make series that
// come and go with the clients, without bound.
void connection_metrics(Exposition &e, const std::vector<ConnectionView> &connections, uint64_t requestsRead) {
    e.family("norv_connection_requests_total", "counter",
             "Requests read from the connections' request devices since start, ended connections included.");
    e.sample("norv_connection_requests_total", num(requestsRead));
    std::set<std::optional<uint32_t>> users;
    for (const ConnectionView &c : connections) users.insert(c.uid);
    e.family("norv_connection_users", "gauge",
             "Users whose connections live now (connections given to the group count as one).");
    e.sample("norv_connection_users", num(users.size()));
}

}  // namespace

std::string metrics_text(const MetricsSnapshot &s) {
    Exposition e;
    e.comment(kMetricsMarker);
    status_metrics(e, s.status);
    peer_metrics(e, s.peers);
    verdict_metrics(e, s.verdicts);
    connection_metrics(e, s.connections, s.requestsRead);
    return e.text();
}

namespace {

// Whether `fd` starts with kMetricsMarker and its line feed; nullopt when it
// cannot be read (errno tells why).
std::optional<bool> starts_with_marker(int fd) {
    std::string head(kMetricsMarker.size() + 1, '\0');
    size_t got = 0;
    while (got < head.size()) {
        ssize_t n = read(fd, head.data() + got, head.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return false;
        got += static_cast<size_t>(n);
    }
    return head.compare(0, kMetricsMarker.size(), kMetricsMarker) == 0 && head.back() == '\n';
}

std::string refused(const std::string &path, const std::string &what) {
    return "metrics file " + path + " exists and is " + what +
           ", not a metrics file that norvd wrote; norvd replaces or removes no other file: correct "
           "--metrics-file (metrics-file in norvd.conf), or move that away if it is not wanted";
}

std::string taken_by_another(const std::string &path) {
    return "another file is at " + path + " (norvd did not write it): left as it is; norvd writes the "
           "metrics again once nothing is at that path";
}

}  // namespace

std::string take_path(const std::string &path, uid_t owner, PlacedFile &placed) {
    placed = PlacedFile{};
    struct stat st {};
    if (lstat(path.c_str(), &st) < 0) return errno == ENOENT ? "" : failed(("lstat " + path).c_str());
    // Looked at before it is opened: opening a device can have effects of
    // its own.
    if (S_ISLNK(st.st_mode)) return refused(path, "a symbolic link");
    if (S_ISDIR(st.st_mode)) return refused(path, "a directory");
    if (!S_ISREG(st.st_mode)) return refused(path, "a device, FIFO or socket");
    // O_NOFOLLOW and O_NONBLOCK against what another put there meanwhile;
    // what is judged is what was opened.
    Fd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) return errno == ELOOP ? refused(path, "a symbolic link") : failed(("open " + path).c_str());
    if (fstat(fd.get(), &st) < 0) return failed(("fstat " + path).c_str());
    if (!S_ISREG(st.st_mode)) return refused(path, "something other than a regular file");
    if (st.st_uid != owner)
        return refused(path, "a file of uid " + std::to_string(st.st_uid) + " (norvd runs as uid " +
                                 std::to_string(owner) + ")");
    std::optional<bool> ours = starts_with_marker(fd.get());
    if (!ours) return failed(("read " + path).c_str());
    if (!*ours) return refused(path, "a file whose first line is not norvd's");
    placed.fd = std::move(fd);
    placed.dev = st.st_dev;
    placed.ino = st.st_ino;
    return "";
}

std::string write_atomically(const std::string &path, const std::string &text, PlacedFile &placed) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Hidden, and without the .prom of the file: a collector that reads
    // *.prom never reads it half written.
    std::string temp = dir + (slash == std::string::npos ? "/." : ".") + name + ".XXXXXX";
    Fd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.valid()) return failed(("mkostemp " + temp).c_str());
    std::string why;
    for (size_t done = 0; done < text.size() && why.empty();) {
        ssize_t n = write(fd.get(), text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            why = failed(("write " + temp).c_str());
    }
    // Readable by the monitoring agent, which runs as a user of its own.
    if (why.empty() && fchmod(fd.get(), 0644) < 0) why = failed(("fchmod " + temp).c_str());
    struct stat made {};
    if (why.empty() && fstat(fd.get(), &made) < 0) why = failed(("fstat " + temp).c_str());
    // A second descriptor holds the file once it is in place; closing the one
    // written through reports a write that failed late (NFS does so).
    Fd held(why.empty() ? fcntl(fd.get(), F_DUPFD_CLOEXEC, 0) : -1);
    if (why.empty() && !held.valid()) why = failed("fcntl F_DUPFD_CLOEXEC");
    if (close(fd.release()) < 0 && why.empty()) why = failed(("close " + temp).c_str());
    if (why.empty()) {
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0) {
            // A file put here between this look and the rename would still
            // be replaced: only one who may write the folder can do that,
            // and a rename replaces a symbolic link itself, never what it
            // points to.
            if (!placed.is(st))
                why = taken_by_another(path);
            else if (rename(temp.c_str(), path.c_str()) < 0)
                why = failed(("rename to " + path).c_str());
        } else if (errno != ENOENT) {
            why = failed(("lstat " + path).c_str());
        } else if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) < 0) {
            // A file system without RENAME_NOREPLACE (EINVAL) gets a plain
            // rename, and the same window as above.
            if (errno == EEXIST)
                why = taken_by_another(path);
            else if ((errno != EINVAL && errno != ENOSYS) || rename(temp.c_str(), path.c_str()) < 0)
                why = failed(("rename to " + path).c_str());
        }
    }
    if (!why.empty()) {
        unlink(temp.c_str());
        return why;
    }
    placed.fd = std::move(held);
    placed.dev = made.st_dev;
    placed.ino = made.st_ino;
    return "";
}

std::unique_ptr<MetricsFile> MetricsFile::start(const std::string &path, const std::string &first,
                                                std::string &why) {
    if (path.empty() || path.back() == '/') {
        why = "--metrics-file needs the path of a file";
        return nullptr;
    }
    std::unique_ptr<MetricsFile> m(new MetricsFile(path));
    if (why = take_path(path, geteuid(), m->placed_); !why.empty()) return nullptr;
    if (why = write_atomically(path, first, m->placed_); !why.empty()) {
        // A file of an earlier norvd that was taken stays as it was.
        m->placed_ = PlacedFile{};
        why = "--metrics-file: " + why;
        return nullptr;
    }
    try {
        m->thread_ = std::thread([p = m.get()] { p->run(); });
    } catch (const std::system_error &e) {
        why = std::string("metrics file: no thread: ") + e.what();
        return nullptr;
    }
    return m;
}

MetricsFile::~MetricsFile() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
        next_.reset();
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    // As in write_atomically, a file put here between the look and the
    // unlink would go.
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && placed_.is(st)) unlink(path_.c_str());
}

void MetricsFile::publish(std::string text) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        next_ = std::move(text);
    }
    wake_.notify_one();
}

std::string MetricsFile::last_error() {
    std::lock_guard<std::mutex> lock(mu_);
    return error_;
}

void MetricsFile::run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || next_.has_value(); });
        if (stop_) return;
        std::string text = std::move(*next_);
        next_.reset();
        lock.unlock();
        std::string why = write_atomically(path_, text, placed_);
        lock.lock();
        error_ = why;
    }
}

}  // namespace norvd
