// service_clock.cc: the skewed clock of norvd and its inverse.
//
// All sums saturate instead of wrapping: a skew or a garbage stamp must give
// an extreme reading, never one that looks plausible. No 128-bit integers, so
// that the same code builds for 32-bit x86.
//
// service_time, step by step (what docs/norvd.md states for readers of the
// "clock:" log line):
//   since = base - origin, both taken as signed 64-bit (a base of 2^63 or more
//           counts as 2^63 - 1), saturated to the signed 64-bit range;
//   drift = since converted to double, times (ppm * 1e-6) computed in double,
//           rounded to the nearest integer, halves away from zero (llround),
//           saturated to the signed 64-bit range;
//   service = (base + offset) + drift, each sum saturated, then a negative
//           result gives 0.
#include "core/service_clock.h"

#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "core/saturating.h"

namespace norvd {

namespace {

constexpr int64_t kMax = INT64_MAX;
constexpr int64_t kMin = INT64_MIN;

int64_t round_to_i64(double v) {
    if (v >= 9.2e18) return kMax;
    if (v <= -9.2e18) return kMin;
    return std::llround(v);
}

uint64_t to_service_range(int64_t v) { return v < 0 ? 0 : static_cast<uint64_t>(v); }

}  // namespace

ServiceTime ServiceClock::service_time(BaseTime base) const {
    int64_t t = as_signed(base.ns);
    int64_t since = sat_sub(t, as_signed(origin_.ns));
    // The drift term is small (ppm of the time since start) and is the only
    // part that needs floating point.
    int64_t drift = round_to_i64(static_cast<double>(since) * drift_);
    return ServiceTime(to_service_range(sat_add(sat_add(t, offset_), drift)));
}

BaseTime ServiceClock::base_time(ServiceTime service) const {
    // service - offset - origin = (base - origin) * (1 + drift)
    int64_t origin = as_signed(origin_.ns);
    int64_t scaled = sat_sub(sat_sub(as_signed(service.ns), offset_), origin);
    // scaled / (1 + drift) = scaled - scaled * drift / (1 + drift): only the
    // small correction goes through floating point, so a time far from the
    // origin keeps its nanoseconds.
    int64_t since = sat_sub(scaled, round_to_i64(static_cast<double>(scaled) * drift_ / (1.0 + drift_)));
    return BaseTime(to_service_range(sat_add(origin, since)));
}

std::string ServiceClock::describe(const char *baseName) const {
    char ppm[32];
    auto end = std::to_chars(ppm, ppm + sizeof ppm - 1, ppm_).ptr;
    *end = '\0';
    char line[160];
    snprintf(line, sizeof line, "base %s, offset %" PRId64 " ns, drift %s ppm, origin %" PRIu64 " ns",
             baseName, offset_, ppm, origin_.ns);
    return line;
}

}  // namespace norvd
