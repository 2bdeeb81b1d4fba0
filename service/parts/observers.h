// observers.h: what shows norvd's figures to the outside: the control socket
// that norvctl asks (control_socket.h) and the metrics file
// (metrics_file.h).
//
// Both show the views of a DaemonState (control_protocol.h), which the
// daemon assembles from its parts; the observers add their own share, the
// number of control clients. They register with the loop the control
// clients' time-outs and the metrics file's writes (deadlines and work after
// each turn: the daemon calls add_turn_work where they belong in its order);
// the control socket watches its own descriptors. start() opens them once
// norvd serves, stop() closes them before norvd's parts go.
#ifndef NORVD_OBSERVERS_H
#define NORVD_OBSERVERS_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "config/options.h"
#include "core/control_protocol.h"
#include "io/control_socket.h"
#include "io/metrics_file.h"
#include "loop/event_loop.h"
#include "setup/access_group.h"

namespace norvd {

class Observers {
public:
    // opts: the control socket's path, the metrics file's path ("" for
    // none) and interval; access: who may ask on the control socket. `loop`
    // and `state` must outlive it.
    Observers(const Options &opts, const AccessGroup &access, EventLoop &loop, DaemonState &state);
    Observers(const Observers &) = delete;
    Observers &operator=(const Observers &) = delete;

    // Registers the control clients' time-outs and then the metrics' writes.
    void add_turn_work();

    // Opens the control socket and starts the metrics file's writer. False
    // (logged) when either cannot be.
    bool start();
    // Closes the control socket and removes the metrics file.
    void stop();

    size_t control_clients() const { return control_ ? control_->clients() : 0; }

private:
    // Hands the metrics of now to the writer, and tells when its outcome
    // changed.
    void write_metrics();

    const std::string controlPath_;
    const std::string metricsPath_;
    const int metricsIntervalS_;
    const AccessGroup access_;
    EventLoop &loop_;
    DaemonState &state_;
    std::unique_ptr<ControlSocket> control_;
    std::unique_ptr<MetricsFile> metrics_;
    BaseTime nextMetrics_;
    std::string metricsError_;  // the outcome of the last write logged
};

}  // namespace norvd

#endif  // NORVD_OBSERVERS_H
