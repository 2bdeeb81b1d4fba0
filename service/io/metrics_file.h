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
//
// norvd runs as root, and a mistyped path must not cost a file of the
// system: norvd replaces and removes only a file that it wrote. At start, a
// path where something already is is taken only when that is a metrics
// file a norvd wrote (one left by a norvd that was killed): a regular file,
// not a symbolic link, owned by norvd's user, whose first line is
// kMetricsMarker. From then on, norvd replaces or removes the file at the
// path only while it is the very file norvd put there last.
#ifndef NORVD_METRICS_FILE_H
#define NORVD_METRICS_FILE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/control_protocol.h"
#include "fd.h"

namespace norvd {

constexpr uint64_t kMetricsIntervalNs = 10'000'000'000;

// What the file shows, taken at one moment.
struct MetricsSnapshot {
    StatusView status;
    PeersView peers;
    std::vector<MachineVerdicts> verdicts;
    std::vector<ConnectionView> connections;
    uint64_t requestsRead = 0;  // from every connection since start
};

// The first line of every metrics text, in every version of norvd (without
// its line feed): what tells a metrics file that a norvd wrote from any other
// file. The text format takes a "# " line that is neither HELP nor TYPE as a
// comment.
constexpr std::string_view kMetricsMarker =
    "# norvd metrics file: norvd replaces it while it runs and removes it when it stops";

// The text of the file, kMetricsMarker first.
std::string metrics_text(const MetricsSnapshot &s);

// The file that norvd put at the path last. The descriptor is held open on
// it so that its inode number cannot go to a file made after it was removed:
// (dev, ino) names this file and no other while it is held.
struct PlacedFile {
    norv::Fd fd;  // not valid: norvd has put no file there
    dev_t dev = 0;
    ino_t ino = 0;
    bool is(const struct stat &st) const { return fd.valid() && st.st_dev == dev && st.st_ino == ino; }
};

// Whether norvd may write its metrics at `path` at start. Returns "" when
// nothing is there (`placed` is left empty), or when a metrics file of a
// norvd is there: a regular file (not a symbolic link) owned by `owner`
// (norvd's effective uid) whose first line is kMetricsMarker; `placed` then
// holds it. Otherwise says what is there and what to do. Never changes
// what is at the path.
std::string take_path(const std::string &path, uid_t owner, PlacedFile &placed);

// Writes `text` to `path` through a hidden file in the same folder and a
// rename, provided that what is at the path is `placed` or nothing; `placed`
// then holds the new file. Another file at the path is left as it is, and
// the write fails. Returns "" or what failed.
std::string write_atomically(const std::string &path, const std::string &text, PlacedFile &placed);

// Its thread is not a Worker (worker.h): a text it has not taken yet is
// replaced by the next one rather than queued, and the loop reads the outcome
// of the latest write when it publishes again rather than waking for results.
// It is joined at stop: it uses placed_, which the destructor reads after it.
class MetricsFile {
public:
    // Takes `path` (take_path: with norvd's effective uid), writes `first`
    // there, so that a path that cannot be written stops norvd at start, and
    // starts the writer thread.
    static std::unique_ptr<MetricsFile> start(const std::string &path, const std::string &first, std::string &why);
    // Stops the thread (a text not yet written is not) and removes the file
    // when it is still the one norvd put there: a norvd that has stopped has
    // no figures to show.
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
    PlacedFile placed_;                // the writer thread's once it runs
    std::thread thread_;
};

}  // namespace norvd

#endif  // NORVD_METRICS_FILE_H
