#!/usr/bin/env python3
"""Checks norvd's metrics file against the format and against norvctl.

    metrics_check.py METRICS STATUS PEERS VERDICTS CONNECTIONS

METRICS is the file of --metrics-file; the others hold the answers of
`norvctl --json status|peers|verdicts|connections`, taken after the traffic
stopped and before the file was last written. The file must:

- parse with prometheus_client (Debian's python3-prometheus-client);
- start with norvd's marker line (MARKER, the same in every version: it is
  how norvd tells a file it wrote from one it must leave alone);
- keep the rules a lenient parser lets through: every other line a HELP, a
  TYPE or a sample; valid metric and label names, all starting norv_; one
  TYPE per family, before its samples, and each family's lines together;
  counters named _total; no series twice;
- hold every counter of norvctl's answers with the same value, and the
  gauges that stand still once the traffic stopped;
- have been written after the status answer (its uptime is not smaller).

Prints what it compared; exits 1 at the first difference.
"""
import json
import math
import re
import sys

from prometheus_client.parser import text_string_to_metric_families

NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*$")
LABEL = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*$")
SAMPLE = re.compile(r"([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+)$")
PAIR = re.compile(r'([^=,]+)="((?:[^"\\]|\\.)*)"(,|$)')
TYPES = {"counter", "gauge", "summary", "histogram", "untyped"}
MARKER = "# norvd metrics file: norvd replaces it while it runs and removes it when it stops"


def fail(what):
    print("FAIL: " + what)
    sys.exit(1)


def labels_of(text):
    out, at = {}, 0
    while at < len(text):
        m = PAIR.match(text, at)
        if not m:
            fail("labels cannot be read: {%s}" % text)
        name = m.group(1)
        if not LABEL.match(name) or name.startswith("__"):
            fail("label name %r" % name)
        if name in out:
            fail("label %s twice in {%s}" % (name, text))
        out[name] = m.group(2)
        at = m.end()
    return out


def strict(text):
    """The rules a lenient parser lets through. Returns {(name, labels): value}."""
    types, helps, finished, series = {}, set(), set(), {}
    current = None
    lines = text.split("\n")[:-1]
    if not lines or lines[0] != MARKER:
        fail("the first line is not norvd's marker: %r" % (lines[:1],))
    for number, line in enumerate(lines[1:], 2):
        where = "line %d: %s" % (number, line)
        if line.startswith("# HELP ") or line.startswith("# TYPE "):
            words = line.split(" ", 3)
            if len(words) < 4 or not NAME.match(words[2]):
                fail(where)
            family = words[2]
            if family != current:
                if family in finished:
                    fail("family %s comes back: %s" % (family, where))
                if current is not None:
                    finished.add(current)
                current = family
            if words[1] == "TYPE":
                # Samples before it have failed already: they had no TYPE.
                if family in types:
                    fail("a second TYPE: " + where)
                if words[3] not in TYPES:
                    fail("unknown type: " + where)
                types[family] = words[3]
            else:
                if family in helps:
                    fail("a second HELP: " + where)
                helps.add(family)
            continue
        if line.startswith("#") or not line:
            fail("neither HELP, TYPE nor sample: " + where)
        m = SAMPLE.match(line)
        if not m:
            fail("not a sample: " + where)
        name = m.group(1)
        family = name
        for suffix in ("_sum", "_count", "_bucket"):
            if name.endswith(suffix) and types.get(name[:-len(suffix)]) in ("summary", "histogram"):
                family = name[:-len(suffix)]
        if family not in types:
            fail("sample before the TYPE of its family: " + where)
        if family != current:
            fail("sample away from its family's lines: " + where)
        if types[family] == "counter" and not name.endswith("_total"):
            fail("counter not named _total: " + where)
        if not name.startswith("norv_"):
            fail("not named norv_...: " + where)
        labels = labels_of(m.group(3) or "")
        key = (name, tuple(sorted(labels.items())))
        if key in series:
            fail("series twice: " + where)
        try:
            series[key] = float(m.group(4))
        except ValueError:
            fail("value: " + where)
    for family in types:
        if family not in helps:
            fail("no HELP for " + family)
    return series, types


def main():
    metrics, status, peers, verdicts, connections = sys.argv[1:6]
    text = open(metrics).read()
    if not text.endswith("\n"):
        fail("the file does not end with a line feed")
    series, types = strict(text)
    parsed = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            parsed[(s.name, tuple(sorted(s.labels.items())))] = s.value
    if parsed.keys() != series.keys():
        fail("prometheus_client read other series: %s" % sorted(set(parsed) ^ set(series))[:5])
    for key, value in series.items():
        if not (value == parsed[key] or math.isnan(value) and math.isnan(parsed[key])):
            fail("prometheus_client read %s as %r, not %r" % (key, parsed[key], value))

    compared = []

    def same(name, labels, want, scale=1):
        key = (name, tuple(sorted(labels.items())))
        if key not in series:
            fail("no series %s%s" % (name, labels))
        got = series[key]
        if want is None:
            ok = math.isnan(got)
        else:
            ok = not math.isnan(got) and round(got * scale) == want
        if not ok:
            fail("%s%s is %r in the file, norvctl says %r" % (name, labels, got, want))
        compared.append(name)

    def at_least(name, labels, want):
        """A counter that goes on growing while norvd runs (the peers'
        probes): the file, written after norvctl's answer, holds as much."""
        key = (name, tuple(sorted(labels.items())))
        if key not in series or not series[key] >= want:
            fail("%s%s is %r in the file, norvctl says %r before it" % (name, labels, series.get(key), want))
        compared.append(name)

    st = json.load(open(status))
    same("norv_machine_id", {}, st["machine"])
    same("norv_connections", {}, st["connections"])
    same("norv_registrations_pending", {}, st["pending_registrations"])
    same("norv_registrations_total", {}, st["registrations"])
    same("norv_registrations_refused_total", {}, st["refused_registrations"])
    same("norv_notices_waiting", {}, st["notices_waiting"])
    for reason, count in st["notices_dropped"].items():
        same("norv_notices_dropped_total", {"reason": reason}, count)
    uptime = series[("norv_uptime_seconds", ())]
    if uptime < st["uptime_s"]:
        fail("the file (uptime %s s) was written before norvctl's answer (uptime %s s)" % (uptime, st["uptime_s"]))

    pe = json.load(open(peers))
    for p in pe["peers"]:
        m = str(p["machine"])
        at_least("norv_peer_messages_total", {"machine": m, "result": "accepted"}, p["accepted"])
        at_least("norv_peer_probes_total", {"machine": m}, p["probes"])
        if p["offset_ns"] is not None:
            for bound in ("low", "high"):
                if ("norv_peer_clock_offset_seconds", (("bound", bound), ("machine", m))) not in series:
                    fail("no offset bound %s of machine %s in the file" % (bound, m))
        for cause, count in p["rejected"].items():
            same("norv_peer_messages_total", {"machine": m, "result": cause}, count)
    same("norv_nonpeer_messages_total", {}, pe["not_peer"])

    ve = json.load(open(verdicts))
    for v in ve["machines"]:
        m, since = str(v["machine"]), v["since_start"]
        for kind in ("timely", "late", "unknown"):
            same("norv_verdicts_total", {"machine": m, "verdict": kind}, since[kind])
        same("norv_verdicts_undecidable_total", {"machine": m}, since["undecidable"])
        lateness = since["lateness_us"]
        same("norv_verdict_lateness_seconds_count", {"machine": m}, lateness["count"])
        same("norv_verdict_lateness_seconds_sum", {"machine": m}, lateness["sum"], 1e6)
        same("norv_verdict_lateness_since_start_seconds_count", {"machine": m}, lateness["count"])
        same("norv_verdict_lateness_since_start_seconds_sum", {"machine": m}, lateness["sum"], 1e6)
        same("norv_verdict_lateness_since_start_seconds", {"machine": m, "quantile": "0.5"}, lateness["median"], 1e6)
        same("norv_verdict_lateness_since_start_seconds", {"machine": m, "quantile": "0.99"}, lateness["p99"], 1e6)
        same("norv_verdict_lateness_max_seconds", {"machine": m, "window": "since_start"}, lateness["max"], 1e6)

    co = json.load(open(connections))
    same("norv_connection_users", {}, len(set(c["uid"] for c in co["connections"])))
    # Since start, ended connections included: at least the live ones' requests.
    requests = series.get(("norv_connection_requests_total", ()), float("nan"))
    if not requests >= sum(c["requests"] for c in co["connections"]):
        fail("norv_connection_requests_total %r is below the live connections' requests" % requests)
    for name, labels in series:
        if any(label in ("channel", "uid") for label, value in labels):
            fail("a label per connection or user: %s%s" % (name, dict(labels)))

    counters = sum(1 for t in types.values() if t == "counter")
    print("metrics: %d families (%d counters), %d series; %d values equal to norvctl's (%d of counters)"
          % (len(types), counters, len(series), len(compared),
             sum(1 for n in compared if n.endswith("_total") or n.endswith("_count") or n.endswith("_sum"))))


if __name__ == "__main__":
    main()
