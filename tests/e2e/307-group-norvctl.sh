# norvctl on a group of three whose link 0>2 delays pings 5 ms, beyond their
# 2 ms deadline. Each machine answers on a control socket of its own. Once
# NORVping on machine 0 has stopped, machine 0's norvctl tells exactly what
# its log tells: the sends registered, each machine's timely, late and
# unknown verdicts (every one on machine 2 late), the receipts accepted from
# each peer and no message rejected, each peer reachable with an offset
# interval that holds 0 (their clocks are the host's); its lateness quantiles
# lie within 1/64 of the exact ones of the log. Its metrics file, rewritten since, holds the same
# counters, and Prometheus' promtool finds nothing wrong with it.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
have "$NORVCTL"
PY=$(prometheus_python) || skip "python3-prometheus-client is not installed (scripts/install-deps python3-prometheus-client)"
fetch_promtool
isolate

enough() { [ "$(verdicts_on 2 known)" -ge 5 ]; }
group_up 3 --link "0>2 delay=5ms" --norvd-args 0 "--metrics-file $T/metrics.prom --metrics-interval 1"
ping_until 120 enough 0 -b 10.77.0.255
log=$T/group/norvd-0.log
ctl() { group ctl 0 "$@"; }
json() { "$PY" -c "import json, sys; j = json.load(open(sys.argv[1])); print($2)" "$1"; }

# group run runs in the caller's folder, where relative paths lead.
[ "$(cd "$T" && group run 0 pwd)" = "$T" ] || fail "group run 0 pwd from $T: $(cd "$T" && group run 0 pwd 2>&1)"

# Every machine answers on its own socket.
for i in 0 1 2; do
    group ctl "$i" status >"$T/status-$i.txt" 2>&1 || fail "norvctl for machine $i: $(cat "$T/status-$i.txt")"
    check "machine $i's status: $(head -1 "$T/status-$i.txt")" grep -q "^machine  *$i (group: machines 0, 1, 2)" "$T/status-$i.txt"
done

# NORVping's and the NORVpongs' connections have gone: nothing changes now.
gone() { ctl --json status >"$T/status.json" && [ "$(json "$T/status.json" 'j["connections"]')" = 0 ]; }
wait_until 30 gone || fail "connections stay on machine 0: $(cat "$T/status.json")"
for command in peers verdicts connections; do ctl --json "$command" >"$T/$command.json" || fail "norvctl --json $command"; done
for command in peers verdicts; do ctl "$command" >"$T/$command.txt" || fail "norvctl $command"; done

"$PY" - "$log" "$T" "$(verdicts_on 2 known)" <<'EOF' >"$T/compare.out" 2>&1 || fail "$(cat "$T/compare.out")"
import json, math, re, sys
log, t, printed = sys.argv[1], sys.argv[2], int(sys.argv[3])
status = json.load(open(t + "/status.json"))
peers = json.load(open(t + "/peers.json"))
verdicts = json.load(open(t + "/verdicts.json"))
lines = open(log).read().splitlines()
registered = sum(1 for l in lines if re.search(r"channel \d+: registration \d+: machines ", l))
assert status["registrations"] == registered and status["refused_registrations"] == 0, (status, registered)
told = {m: {"timely": 0, "late": 0, "unknown": 0, "lateness": []} for m in range(3)}
for l in lines:
    m = re.search(r"registration \d+ judged: (.*?)(;|$)", l)
    if not m:
        continue
    for part in m.group(1).split(", "):
        v = re.match(r"machine (\d) (timely|late|missing)(?: \(\+?(-?\d+) us\))?$", part)
        assert v, part
        kind = {"missing": "unknown"}.get(v.group(2), v.group(2))
        told[int(v.group(1))][kind] += 1
        if v.group(3) is not None:
            told[int(v.group(1))]["lateness"].append(int(v.group(3)))
shown = {v["machine"]: v["since_start"] for v in verdicts["machines"]}
assert sorted(shown) == [0, 1, 2], shown
for m in range(3):
    for kind in ("timely", "late", "unknown"):
        assert shown[m][kind] == told[m][kind], (m, kind, shown[m][kind], told[m][kind])
    lateness = sorted(told[m]["lateness"])
    l = shown[m]["lateness_us"]
    assert l["count"] == len(lateness) and l["sum"] == sum(lateness), (m, l)
    if lateness:
        assert l["max"] == lateness[-1], (m, l)
        for key, q in (("median", 0.5), ("p99", 0.99)):
            exact = lateness[max(1, math.ceil(q * len(lateness))) - 1]
            assert 64 * abs(l[key] - exact) <= abs(exact), (m, key, l[key], exact)
assert shown[2]["timely"] == 0 and shown[2]["late"] >= printed, (shown[2], printed)
for p in peers["peers"]:
    m = p["machine"]
    received = sum(1 for l in lines if re.search(r"registration \d+ received on machine %d at " % m, l))
    # Accepted: the receipts and the probes.
    assert p["receipts"] == received and p["accepted"] > received and p["rejected_total"] == 0, (p, received)
    assert p["reachable"] and p["offset_ns"]["low"] <= 0 <= p["offset_ns"]["high"], p
    assert p["address"] == "10.77.0.%d:16007" % (m + 1) and p["heard_ago_s"] is not None, p
assert [p["machine"] for p in peers["peers"]] == [1, 2] and peers["not_peer"] == 0, peers
print("registered %d; machine 2 late %d (NORVping printed %d), unknown %d, median lateness %d us; receipts from "
      "machines 1 and 2: %s" % (registered, shown[2]["late"], printed, shown[2]["unknown"],
                                shown[2]["lateness_us"]["median"], [p["receipts"] for p in peers["peers"]]))
EOF

newer() {
    local up
    up=$(awk '$1 == "norv_uptime_seconds" { print $2 }' "$T/metrics.prom")
    "$PY" -c "import sys; sys.exit(0 if float(sys.argv[1]) >= float(sys.argv[2]) else 1)" "$up" "$(json "$T/status.json" 'j["uptime_s"]')"
}
wait_until 30 newer || fail "machine 0's metrics file was not rewritten"
"$PY" "$(dirname "$0")/metrics_check.py" "$T/metrics.prom" "$T/status.json" "$T/peers.json" \
    "$T/verdicts.json" "$T/connections.json" >"$T/check.out" || fail "$(cat "$T/check.out")"
promtool=$(promtool_check "$T/metrics.prom") || exit 1
group_down
pass "$(cat "$T/compare.out"); $(cat "$T/check.out"); $promtool"
