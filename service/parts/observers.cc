// observers.cc: the control socket and the metrics file, opened, kept and
// closed.
#include "parts/observers.h"

#include <optional>
#include <string_view>

#include "io/log.h"

namespace norvd {

Observers::Observers(const Options &opts, const AccessGroup &access, EventLoop &loop, DaemonState &state)
    : controlPath_(opts.controlSocket), metricsPath_(opts.metricsFile),
      metricsIntervalS_(opts.metricsIntervalS), access_(access), loop_(loop),
      state_(state) {}

void Observers::add_turn_work() {
    using Turn = EventLoop::Turn;
    loop_.add_deadline([this](BaseTime) { return control_ ? control_->next_due() : std::nullopt; });
    loop_.add_after_turn([this](const Turn &t) {
        if (control_) control_->expire(t.now);
    });
    loop_.add_deadline([this](BaseTime) { return metrics_ ? std::optional(nextMetrics_) : std::nullopt; });
    loop_.add_after_turn([this](const Turn &t) {
        if (!metrics_ || t.now < nextMetrics_) return;
        nextMetrics_ = t.now + static_cast<uint64_t>(metricsIntervalS_) * 1'000'000'000;
        write_metrics();
    });
}

bool Observers::start() {
    std::string why;
    control_ = ControlSocket::open(
        controlPath_, access_.gid, loop_,
        [this](std::string_view request, uid_t uid) { return respond(request, state_, uid == 0); }, why);
    if (!control_) return log_error(why), false;
    std::string line = "control socket " + controlPath_ + " for group " + access_.name;
    if (!metricsPath_.empty()) {
        // Written once at start (a path that cannot be written, or where a
        // file that norvd did not write is, stops norvd); the writer's thread
        // does it from then on.
        metrics_ = MetricsFile::start(
            metricsPath_, metrics_text({state_.status(), state_.peers(), state_.verdicts(), state_.connections(),
                                        state_.requests_read()}),
            why);
        if (!metrics_) return log_error(why), false;
        nextMetrics_ = loop_.now() + static_cast<uint64_t>(metricsIntervalS_) * 1'000'000'000;
        line += "; metrics to " + metricsPath_ + " every " + std::to_string(metricsIntervalS_) + " s";
    }
    log_info(line);
    return true;
}

void Observers::stop() {
    control_.reset();
    metrics_.reset();
}

void Observers::write_metrics() {
    // Told when the outcome changes, not at every write.
    if (std::string why = metrics_->last_error(); why != metricsError_) {
        if (why.empty())
            log_info("metrics file " + metrics_->path() + " written again");
        else
            log_warning("metrics file: " + why);
        metricsError_ = why;
    }
    metrics_->publish(metrics_text({state_.status(), state_.peers(), state_.verdicts(), state_.connections(),
                                        state_.requests_read()}));
}

}  // namespace norvd
