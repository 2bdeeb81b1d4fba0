# group_common.sh: helpers of the multi-machine tests, on top of common.sh.
# A group of machines (scripts/group) runs inside the test's own namespaces:
# each machine has its own network and /dev, netsim joins them, and nothing
# reaches the machine the tests run on.

GROUP_SCRIPT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/group
GROUP_TRUTH=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/group_truth.py
NETSIM=$NORV_BIN/tools/netsim
export NORV_BIN

# group ARGS...: scripts/group with the test's state folder.
group() { NORV_GROUP_DIR=$T/group "$GROUP_SCRIPT" "$@"; }

# group_up N ARGS...: starts N machines (see scripts/group up). Every NORVpong
# writes its records as JSON (--json), for check_truth, unless ARGS give it
# other arguments.
group_up() {
    have "$NETSIM"; have "$NORVD"; have "$NORVPONG"; have "$NORVPING"
    command -v python3 >/dev/null || skip "python3 is not installed"
    local n=$1 i json=()
    shift
    for ((i = 0; i < n; i++)); do json+=(--pong-args "$i" --json); done
    group up "$n" "${json[@]}" "$@" >"$T/group-up.log" 2>&1 || fail "group up $n $*: $(cat "$T/group-up.log")"
}

group_down() { group down >/dev/null 2>&1; }

# ping_until SECONDS CONDITION MACHINE ARGS...: runs NORVping ARGS on MACHINE
# until CONDITION (a command and its arguments in one word, reading
# $T/ping.out as it grows) succeeds, then stops it with SIGINT; output in
# $T/ping.out. NORVping's pace follows the processor (its pings are counted in
# passes of its loop), so the run lasts as long as the test needs, up to
# SECONDS. Fails unless CONDITION held in time and NORVping ended with 0 and
# its stop message. Then checks the run against the truth (check_truth).
ping_until() {
    local limit=$1 condition=$2 machine=$3 met=1 st=0 norvping deadline
    shift 3
    rm -f "$T/ping.pid"
    # The pid file names NORVping itself: sh execs env, env execs NORVping.
    start ping group run "$machine" \
        sh -c 'echo $$ >"$1"; shift; exec env --default-signal=INT "$@"' sh "$T/ping.pid" "$NORVPING" "$@"
    wait_until 60 test -s "$T/ping.pid" || fail "NORVping did not start on machine $machine: $(cat "$T/ping.err")"
    norvping=$(cat "$T/ping.pid")
    # Looked at once a second, not as often as wait_until does: the look
    # takes processor time from the machines, whose timing the tests measure.
    deadline=$((SECONDS + limit))
    # shellcheck disable=SC2086  # CONDITION is a command and its arguments
    until $condition; do
        [ "$SECONDS" -lt "$deadline" ] || { met=0; break; }
        sleep 1
    done
    kill -INT "$norvping" 2>/dev/null
    wait "$ping_pid" || st=$?
    [ "$met" = 1 ] || fail "$condition: not so after ${limit}s of NORVping ($(grep -c '^Packet From ' "$T/ping.out") answers, $(notices) notices): $(tail -5 "$T/ping.err")"
    [ "$st" = 0 ] || fail "NORVping ended with status $st: $(tail -5 "$T/ping.err")"
    grep -q "NORVPing stopped by user" "$T/ping.out" || fail "NORVping did not stop cleanly"
    check_truth "$machine"
}

# check_truth MACHINE: stops every NORVpong (so that each has written the
# record of every ping it answered) and checks, with group_truth.py, every
# answered ping's bound and every verdict NORVping on MACHINE printed against
# what really happened; prints the confusion table. Bounds are only reported
# when TRUTH_BOUNDS=report (clocks that drift beyond what they allow for), and
# verdicts when TRUTH_VERDICTS=report (a test that makes untrue verdicts on
# purpose counts them itself). Output in $T/truth.out; fails on anything untrue.
check_truth() {
    local machine=$1 n i
    n=$(cat "$T/group/machines")
    for ((i = 0; i < n; i++)); do group stop "$i" pong; done
    python3 "$GROUP_TRUTH" --group "$T/group" --machines "$n" --ping "$T/ping.out" \
        --registrar "$machine" --bounds "${TRUTH_BOUNDS:-assert}" --verdicts "${TRUTH_VERDICTS:-assert}" \
        >"$T/truth.out" 2>&1
    local st=$?
    cat "$T/truth.out"
    [ "$st" = 0 ] || fail "not what really happened: $(grep -E '^(outside|untrue|early|problem)' "$T/truth.out" | head -3)"
}

# verdicts: one line per machine verdict printed by NORVping:
# "SEQ MACHINE timely|failure LATENESS|na".
verdicts() {
    awk '
        /^Message from: / { seq = $NF; next }
        /^Timely reception on machine / { m = $NF; st = "timely"; next }
        /^Timing failure on the reception \(machine / { m = $NF; sub(/\)/, "", m); st = "failure"; next }
        /^lateness degree=/ { sub(/^lateness degree=/, ""); print seq, m, st, $0; next }
        /^Lateness degree not available/ { print seq, m, st, "na" }
    ' "$T/ping.out"
}

# verdicts_on MACHINE [KIND]: how many verdicts on MACHINE NORVping printed
# (with KIND: only those with a known lateness, "known", or without, "na").
verdicts_on() {
    verdicts | awk -v m="$1" -v kind="${2:-}" '
        $2 == m && (kind == "" || (kind == "na") == ($4 == "na")) { c++ } END { print c + 0 }'
}

# answers_from ADDRESS: how many answers NORVping printed from ADDRESS.
answers_from() { grep -c "^Packet From $1:\$" "$T/ping.out"; }

# notices: how many notices NORVping printed.
notices() { grep -c '^Message from: ' "$T/ping.out"; }

# check_machines_named N: every notice names machines 0 .. N-1 once each and
# no other machine (those outside the group have nothing to report).
check_machines_named() {
    local n=$1 bad
    bad=$(verdicts | awk -v n="$n" '
        { count[$1] = count[$1] + 1; if ($2 >= n) { print "machine " $2 " named in notice " $1 } }
        END { for (s in count) if (count[s] != n) print "notice " s " names " count[s] " machines" }')
    [ -z "$bad" ] || fail "$bad"
}

# fully_timely N: the number of notices in which all N machines were timely.
fully_timely() {
    verdicts | awk -v n="$1" '$3 == "timely" { t[$1]++ } END { c = 0; for (s in t) if (t[s] == n) c++; print c }'
}
