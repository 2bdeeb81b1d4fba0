# norvd's control socket and norvctl on one machine. The socket is root's,
# of norvd's group, 0660: nobody outside the group cannot open it, inside it
# can. Verdicts of a known lateness (norv_probe reports receipts at chosen
# times) are counted exactly as the notices told them, their lateness
# quantiles lie within the bound the manual gives; registrations pending and
# the requests of a connection are counted exactly. Malformed requests get an
# error; clients that send nothing fill the 8 places but hold up neither
# norvd nor, once cut off after 5 s, the next norvctl. Once the traffic
# stopped, the metrics file, rewritten since, holds norvctl's counters
# (tests/e2e/metrics_check.py, with Debian's python3-prometheus-client), and
# Prometheus' promtool finds nothing wrong with it.
# norvd replaces or removes no file but its own metrics file: a file of
# someone's (or of nobody), a link and a folder at --metrics-file stop it at
# start and stay as they were; the file of a norvd that was killed is taken;
# a file put at the path while norvd runs is neither replaced nor removed.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$NORVCTL"; have "$PROBE"
command -v setpriv >/dev/null || skip "setpriv is not installed"
id nobody >/dev/null 2>&1 || skip "no user nobody"
PY=$(prometheus_python) || skip "python3-prometheus-client is not installed (scripts/install-deps python3-prometheus-client)"
fetch_promtool
isolate

private_groups
echo "norv:x:$GID:" >>/etc/group
ctl() { "$NORVCTL" "$@"; }
# json FILE EXPRESSION: EXPRESSION of the JSON in FILE (as `j`), printed.
json() { "$PY" -c "import json, sys; j = json.load(open(sys.argv[1])); print($2)" "$1"; }

# What is at --metrics-file when norvd starts: only a metrics file that a
# norvd wrote (its first line is metrics_check.py's MARKER) is taken.
MARKER=$(sed -n 's/^MARKER = "\(.*\)"$/\1/p' "$(dirname "$0")/metrics_check.py")
[ -n "$MARKER" ] || fail "no MARKER in metrics_check.py"
mkdir "$T/refused" "$T/refused/folder"
printf 'precious: not a metrics file\n' >"$T/refused/precious"
ln -s precious "$T/refused/link"
printf '%s\nnorv_stale 1\n' "$MARKER" >"$T/refused/nobodys"
chown nobody "$T/refused/nobodys"
# snapshot: every entry's type, owner, mode, size, time and link target, and
# the bytes of each file.
snapshot() {
    (cd "$T/refused" && find . -printf '%p %y %U %m %s %T@ %l\n' | sort && sha256sum precious nobodys)
}
snapshot >"$T/refused.before"
for case in "precious:a file whose first line is not norvd's" "link:a symbolic link" \
    "nobodys:a file of uid $NOBODY (norvd runs as uid 0)" "folder:a directory"; do
    name=${case%%:*}
    st=0
    "$NORVD" --metrics-file "$T/refused/$name" >"$T/refused.out" 2>"$T/refused.err" || st=$?
    [ "$st" = 1 ] || fail "--metrics-file $name: status $st: $(cat "$T/refused.err")"
    check "--metrics-file $name: $(cat "$T/refused.err")" \
        logged "$T/refused.err" "metrics file $T/refused/$name exists and is ${case#*:}, not a metrics file that norvd wrote"
done
# Standard error that is the journal's stream (JOURNAL_STREAM names its
# device and inode): the journal names the program, so the lines do not.
st=0
JOURNAL_STREAM=$(stat -c %d:%i "$T/refused.err") "$NORVD" --metrics-file "$T/refused/precious" 2>"$T/refused.err" || st=$?
[ "$st" = 1 ] && ! grep -q '^<[0-9]>norvd: ' "$T/refused.err" &&
    grep -qF "<3>metrics file $T/refused/precious exists and is a file whose first line is not norvd's" "$T/refused.err" ||
    fail "with JOURNAL_STREAM: status $st, $(cat "$T/refused.err")"
snapshot | diff "$T/refused.before" - >&2 || fail "a refused path was changed"
[ -z "$(links)" ] || fail "links after the refused starts: $(links)"

mkdir "$T/metrics"
printf '%s\nnorv_stale 1\n' "$MARKER" >"$T/metrics/norvd.prom"
start_norvd --metrics-file "$T/metrics/norvd.prom" --metrics-interval 1
check "a file of a killed norvd is taken" test "$(head -1 "$T/metrics/norvd.prom")" = "$MARKER"
! logged "$T/metrics/norvd.prom" norv_stale || fail "the file of a killed norvd was not replaced"
check "start line" logged "$T/norvd.err" "control socket /run/norvd.sock for group norv; metrics to $T/metrics/norvd.prom every 1 s"
[ "$(stat -c '%u:%g %a %F' /run/norvd.sock)" = "0:$GID 660 socket" ] ||
    fail "/run/norvd.sock is $(stat -c '%u:%g %a %F' /run/norvd.sock)"

# Who may ask.
st=0
(as_nobody out "$NORVCTL" status) >"$T/out.out" 2>"$T/out.err" || st=$?
[ "$st" = 1 ] || fail "nobody outside the group: norvctl ended with $st: $(cat "$T/out.out")"
check "nobody outside the group: $(cat "$T/out.err")" grep -q "connect /run/norvd.sock failed: Permission denied" "$T/out.err"
(as_nobody in "$NORVCTL" status) >"$T/in.out" 2>"$T/in.err" || fail "nobody in the group: $(cat "$T/in.err")"
check "nobody in the group: status" grep -q "^machine  *0 (group: machines 0)" "$T/in.out"
st=0
(as_nobody in "$NORVCTL" reload) >"$T/in-reload.out" 2>"$T/in-reload.err" || st=$?
[ "$st" = 1 ] && [ "$(cat "$T/in-reload.err")" = "norvctl: reload: only root may ask for it" ] ||
    fail "nobody in the group: norvctl reload ended with $st: $(cat "$T/in-reload.out" "$T/in-reload.err")"
! logged "$T/norvd.err" "reload:" || fail "a reload done for nobody: $(cat "$T/norvd.err")"

# Verdicts on machine 0 whose lateness the receipt times fix.
began=$SECONDS
for how in timely late timely missing late timely timely; do
    "$PROBE" verdict "$how" >>"$T/probe.out" 2>>"$T/probe.err" || fail "norv_probe verdict $how: $(cat "$T/probe.err")"
done
ctl --json verdicts >"$T/verdicts.json" || fail "norvctl --json verdicts"
fresh=$((SECONDS - began))
# What the notices said of machine 0: status known lateness.
awk '/^machine 0 / { print $4, $6, $8 }' "$T/probe.out" >"$T/told"
"$PY" - "$T/told" "$T/verdicts.json" "$fresh" <<'EOF' || fail "verdicts: $(cat "$T/verdicts.json")"
import json, math, sys
told = [tuple(map(int, l.split())) for l in open(sys.argv[1])]
answer = json.load(open(sys.argv[2]))
fresh = int(sys.argv[3])
assert [m["machine"] for m in answer["machines"]] == [0], answer
lateness = sorted(l for s, k, l in told if k == 1)
def rank(q):
    return lateness[max(1, math.ceil(q * len(lateness))) - 1]
want = {"timely": sum(s == 0 for s, k, l in told), "late": sum(s == 1 and k == 1 for s, k, l in told),
        "unknown": sum(s == 1 and k == 0 for s, k, l in told)}
windows = ["since_start"] + (["last_minute"] if fresh < 55 else [])
for window in windows:
    got = answer["machines"][0][window]
    for kind, n in want.items():
        assert got[kind] == n, (window, kind, got[kind], n)
    l = got["lateness_us"]
    assert l["count"] == len(lateness) and l["sum"] == sum(lateness) and l["max"] == max(lateness), (window, l)
    for key, q in (("median", 0.5), ("p99", 0.99)):
        exact = rank(q)
        assert 64 * abs(l[key] - exact) <= abs(exact), (window, key, l[key], exact)
print("verdicts: %s; lateness median %d us (exactly %d), p99 %d us (exactly %d), max %d us; windows %s"
      % (want, l["median"], rank(0.5), l["p99"], rank(0.99), l["max"], windows))
EOF

# A connection with registrations pending: one clock read and 5 registrations.
start pending "$PROBE" pending 5
wait_until 10 logged "$T/pending.out" "registered 5" || fail "norv_probe pending: $(cat "$T/pending.err")"
ctl --json connections >"$T/connections.json" || fail "norvctl --json connections"
[ "$(json "$T/connections.json" '[(c["uid"], c["requests"], c["pending_registrations"]) for c in j["connections"]]')" = "[(0, 6, 5)]" ] ||
    fail "connections: $(cat "$T/connections.json")"
ctl status --json >"$T/status.json" || fail "norvctl status --json"
[ "$(json "$T/status.json" '(j["connections"], j["pending_registrations"], j["registrations"], j["refused_registrations"])')" = "(1, 5, 12, 0)" ] ||
    fail "status: $(cat "$T/status.json")"
for command in status peers verdicts connections; do
    ctl "$command" >"$T/$command.txt" 2>"$T/$command.err" || fail "norvctl $command: $(cat "$T/$command.err")"
done
root=$(getent passwd 0 | cut -d: -f1)
check "connections table, the user named" grep -qE "^ +[0-9]+ +uid 0 \\($root\\) +6 +5 +0 " "$T/connections.txt"
check "verdicts table" grep -qE '^ +0 +start +4 +2 +1 ' "$T/verdicts.txt"
check "peers table" grep -q "^no peers" "$T/peers.txt"
stop "$pending_pid" KILL

# Requests norvd cannot take, each on a connection of its own.
"$PY" - >"$T/malformed.out" 2>&1 <<'EOF' || fail "malformed requests: $(cat "$T/malformed.out")"
import socket
def ask(data, close=True):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(10)
    s.connect("/run/norvd.sock")
    s.sendall(data)
    if close:
        s.shutdown(socket.SHUT_WR)
    answer = b""
    while True:
        chunk = s.recv(4096)
        if not chunk:
            return answer
        answer += chunk
for data, want in ((b"frobnicate\n", b"error: unknown command 'frobnicate' (status, peers, verdicts, connections or reload)\n"),
                   (b"status xml\n", b"error: unknown word 'xml' after status (only json)\n"),
                   (b"\x00\xff\x1b\n", b"error: unknown command '\\x00\\xff\\x1b' (status, peers, verdicts, connections or reload)\n"),
                   (b"a" * 5000, b"error: request longer than 256 bytes\n"),
                   (b"\n", b"error: empty request\n")):
    got = ask(data)
    assert got == want, (data[:20], got)
assert ask(b"status").startswith(b"ok\nmachine "), "a request ended by a close"
print("malformed: each answered with its error")
EOF
check "norvd lives after malformed requests" kill -0 "$norvd_pid"

# Eight clients that say nothing take every place: the ninth is told so, and
# a client of the devices is served meanwhile; 5 s later they are cut off
# with an error, and norvctl is answered again.
"$PY" - "$T/silent.ready" >"$T/silent.out" 2>&1 <<'EOF' &
import socket, sys, time
clients = []
for _ in range(8):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(20)
    s.connect("/run/norvd.sock")
    clients.append(s)
time.sleep(0.5)
open(sys.argv[1], "w").close()
told = [s.recv(4096) for s in clients]
print("\n".join(sorted(set(t.decode().strip() for t in told))))
EOF
silent=$!
_pids+=("$silent")
wait_until 10 test -e "$T/silent.ready" || fail "silent clients: $(cat "$T/silent.out")"
st=0
ctl status >/dev/null 2>"$T/busy.err" || st=$?
[ "$st" = 1 ] || fail "a ninth client was answered ($st)"
check "ninth client: $(cat "$T/busy.err")" grep -q "norvctl: norvd serves 8 control clients already; try again" "$T/busy.err"
"$PROBE" verdict timely >"$T/during.out" 2>&1 || fail "norvd did not serve a device client meanwhile: $(cat "$T/during.out")"
wait "$silent" || fail "silent clients: $(cat "$T/silent.out")"
[ "$(cat "$T/silent.out")" = "error: no whole request within 5 s" ] || fail "silent clients were told: $(cat "$T/silent.out")"
ctl status >/dev/null || fail "norvctl after the silent clients"

# The traffic has stopped once the pending probe's connection has gone; then
# norvctl's answers, and a metrics file written after them.
gone() { ctl --json status >"$T/status.json" && [ "$(json "$T/status.json" 'j["connections"]')" = 0 ]; }
wait_until 30 gone || fail "the pending probe's connection stays: $(cat "$T/status.json")"
for command in peers verdicts connections; do ctl --json "$command" >"$T/$command.json" || fail "norvctl --json $command"; done
newer() {
    local up
    up=$(awk '$1 == "norv_uptime_seconds" { print $2 }' "$T/metrics/norvd.prom")
    "$PY" -c "import sys; sys.exit(0 if float(sys.argv[1]) >= float(sys.argv[2]) else 1)" "$up" "$(json "$T/status.json" 'j["uptime_s"]')"
}
wait_until 30 newer || fail "the metrics file was not rewritten: $(head -20 "$T/metrics/norvd.prom")"
"$PY" "$(dirname "$0")/metrics_check.py" "$T/metrics/norvd.prom" "$T/status.json" "$T/peers.json" \
    "$T/verdicts.json" "$T/connections.json" >"$T/check.out" || fail "$(cat "$T/check.out")"
promtool=$(promtool_check "$T/metrics/norvd.prom") || exit 1
check "no temporary file left" test "$(ls -A "$T/metrics")" = norvd.prom

# A figure: how long norvctl status takes, norvctl's start included.
for i in $(seq 20); do
    t0=$(date +%s%N); ctl status >/dev/null; t1=$(date +%s%N)
    echo $(((t1 - t0) / 1000))
done | sort -n >"$T/latency"
median=$(sed -n 10p "$T/latency")

# A file put at the path while norvd runs: each write leaves it as it is
# (told once), and norvd writes again once the path is free.
swap_in() {
    printf 'put here while norvd runs\n' >"$T/swapped"
    cp "$T/swapped" "$T/swapped.copy"
    mv "$T/swapped" "$T/metrics/norvd.prom"
}
another="metrics file: another file is at $T/metrics/norvd.prom (norvd did not write it)"
told() { [ "$(grep -cF -- "$another" "$T/norvd.err")" = "$1" ]; }
swap_in
wait_until 10 logged "$T/norvd.err" "$another" || fail "no warning of another file: $(tail -3 "$T/norvd.err")"
sleep 2  # two more writes
check "the file put there is left as it was" cmp "$T/swapped.copy" "$T/metrics/norvd.prom"
told 1 || fail "the warning was not told once: $(tail -3 "$T/norvd.err")"
mv "$T/metrics/norvd.prom" "$T/swapped"
wait_until 10 logged "$T/norvd.err" "metrics file $T/metrics/norvd.prom written again" ||
    fail "not written again once the path was free: $(tail -3 "$T/norvd.err")"
check "norvd's file again" test "$(head -1 "$T/metrics/norvd.prom")" = "$MARKER"
swap_in
wait_until 10 told 2 || fail "no second warning: $(tail -3 "$T/norvd.err")"

stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
check "socket removed at stop" test ! -e /run/norvd.sock
check "the file put there stays at stop, as it was" cmp "$T/swapped.copy" "$T/metrics/norvd.prom"
check "no temporary file left at stop" test "$(ls -A "$T/metrics")" = norvd.prom

# norvd's own file is removed at stop; the other file refuses the start.
start_norvd --metrics-file "$T/metrics/own.prom"
check "own file written at start" test "$(head -1 "$T/metrics/own.prom")" = "$MARKER"
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
check "metrics file removed at stop" test "$(ls -A "$T/metrics")" = norvd.prom
st=0
"$NORVD" --metrics-file "$T/metrics/norvd.prom" 2>"$T/refused.err" || st=$?
[ "$st" = 1 ] && logged "$T/refused.err" "metrics file $T/metrics/norvd.prom exists and is a file whose first line is not norvd's" ||
    fail "the file put there: status $st, $(cat "$T/refused.err")"
check "and stays as it was" cmp "$T/swapped.copy" "$T/metrics/norvd.prom"
pass "$(tail -1 "$T/check.out" 2>/dev/null); $promtool; norvctl status took $median us (median of 20)"
