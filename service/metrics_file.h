// metrics_file.h: norvd's counters and gauges as a file in the Prometheus
// text exposition format (version 0.0.4), the textfile convention that
// monitoring agents read (node_exporter's textfile collector and others).
//
// The text is made from the same views that norvctl shows
// (control_protocol.h); names start with norv_ and carry their unit
// (_seconds), counters end in _total, and every family has a HELP and a TYPE
// line before its samples. The file is replaced whole: the text goes to a
// hidden file beside it, which is then renamed over it, so a reader sees the
// old file or the new one, never a part. The writing is done by a thread of
// its own: a slow or hung file system never holds up norvd's loop.
#ifndef NORVD_METRICS_FILE_H
#define NORVD_METRICS_FILE_H

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control_protocol.h"

namespace norvd {

constexpr uint64_t kMetricsIntervalNs = 10'000'000'000;

// What the file shows, taken at one moment.
struct MetricsSnapshot {
    StatusView status;
    PeersView peers;
    std::vector<MachineVerdicts> verdicts;
    std::vector<ConnectionView> connections;
};

// The text of the file.
std::string metrics_text(const MetricsSnapshot &s);

// Writes `text` to `path` through a hidden file in the same folder and a
// rename. Returns "" or what failed.
std::string write_atomically(const std::string &path, const std::string &text);

class MetricsFile {
public:
    // Starts the writer thread for `path`.
    static std::unique_ptr<MetricsFile> start(const std::string &path, std::string &why);
    // Stops the thread (a text not yet written is not) and removes the file:
    // a norvd that has stopped has no figures to show.
    ~MetricsFile();

    // Hands a new text to the writer; one that it has not taken yet is
    // replaced.
    void publish(std::string text);

    // The outcome of the latest write: "" when it went well (or none was
    // made yet), else what failed.
    std::string last_error();
    const std::string &path() const { return path_; }

private:
    explicit MetricsFile(std::string path) : path_(std::move(path)) {}
    void run();

    const std::string path_;
    std::mutex mu_;
    std::condition_variable wake_;
    std::optional<std::string> next_;  // guarded by mu_
    std::string error_;                // guarded by mu_
    bool stop_ = false;                // guarded by mu_
    std::thread thread_;
};

}  // namespace norvd

#endif  // NORVD_METRICS_FILE_H
