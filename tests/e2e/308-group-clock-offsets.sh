# Common clocks that disagree: machine 1's runs 5 ms ahead of machine 0's
# (more than the 2 ms deadline of NORVping's pings) and drifts by +20 ppm,
# machine 2's 300 us behind at -15 ppm, over links whose two ways differ.
# Every exchange's offset interval holds the true offset of the two clocks;
# every verdict whose timely or late is untrue is among those counted
# undecidable by the clocks, and none is counted so whose lateness interval
# does not hold 0 (check_truth, with no exception). norvctl's count of
# undecidable verdicts is the log's; machine 1's offset is told against the
# deadline; a stopped norvd is shown unreachable, and again reachable once
# it runs again.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
have "$NORVCTL"
isolate

group_up 3 \
    --norvd-args 0 "--log-level debug" \
    --norvd-args 1 "--common-clock-offset 5000000 --common-clock-drift 20 --log-level debug" \
    --norvd-args 2 "--common-clock-offset -300000 --common-clock-drift -15 --log-level debug" \
    --link "0>1 delay=1ms jitter=500us" --link "1>0 delay=300us" \
    --link "0>2 delay=1500us jitter=1ms" --link "2>0 delay=200us"
enough() { [ "$(verdicts_on 1 known)" -ge 20 ] && [ "$(verdicts_on 2 known)" -ge 20 ]; }
ping_until 120 enough 0 -b 10.77.0.255
counts() { sed -n 's/^counts: //p' "$T/truth.out" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
[ "$(counts exchanges)" -gt 0 ] || fail "no exchange checked: $(head -3 "$T/truth.out")"

log=$T/group/norvd-0.log
ctl() { group ctl 0 "$@"; }
ctl --json verdicts >"$T/verdicts.json" || fail "norvctl --json verdicts"
python3 - "$log" "$T/verdicts.json" <<'PY' >"$T/compare.out" 2>&1 || fail "$(cat "$T/compare.out")"
import json, re, sys
lines = open(sys.argv[1]).read().splitlines()
shown = {v["machine"]: v["since_start"]["undecidable"] for v in json.load(open(sys.argv[2]))["machines"]}
told = {m: 0 for m in range(3)}
for l in lines:
    m = re.search(r"registration \d+: machine (\d)'s verdict is undecidable by the clocks", l)
    if m:
        told[int(m.group(1))] += 1
assert shown == told, (shown, told)
print("undecidable by the clocks, machines 0 to 2: %s" % [shown[m] for m in range(3)])
PY
grep -q "machine 1: its clock offset between .* ns is .*further from 0 than a tenth of the deadline" "$log" ||
    fail "no warning that machine 1's offset threatens the deadline"

reachable() { # MACHINE true|false: machine 0 shows MACHINE so
    ctl --json peers >"$T/peers.json" &&
        python3 -c "import json, sys; p = [p for p in json.load(open(sys.argv[1]))['peers'] if p['machine'] == int(sys.argv[2])][0]; sys.exit(0 if str(p['reachable']).lower() == sys.argv[3] else 1)" \
            "$T/peers.json" "$1" "$2"
}
reachable 2 true || fail "machine 2 not reachable: $(cat "$T/peers.json")"
group stop 2 norvd
wait_until 30 reachable 2 false || fail "machine 2's norvd stopped, still reachable: $(cat "$T/peers.json")"
reachable 1 true || fail "machine 1 no longer reachable: $(cat "$T/peers.json")"
group start 2 norvd
wait_until 30 reachable 2 true || fail "machine 2's norvd started again, not reachable: $(cat "$T/peers.json")"
group_down
pass "$(grep '^clock offsets' "$T/truth.out"); $(grep '^verdicts' "$T/truth.out"); $(cat "$T/compare.out")"
