# group_common.sh: helpers of the multi-machine tests, on top of common.sh.
# A group of machines (scripts/group) runs inside the test's own namespaces:
# each machine has its own network and /dev, netsim joins them, and nothing
# reaches the machine the tests run on.

GROUP_SCRIPT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/group
NETSIM=$NORV_BIN/tools/netsim
export NORV_BIN

# group ARGS...: scripts/group with the test's state folder.
group() { NORV_GROUP_DIR=$T/group "$GROUP_SCRIPT" "$@"; }

# group_up N ARGS...: starts N machines (see scripts/group up).
group_up() {
    have "$NETSIM"; have "$NORVD"; have "$NORVPONG"; have "$NORVPING"
    group up "$@" >"$T/group-up.log" 2>&1 || fail "group up $*: $(cat "$T/group-up.log")"
}

group_down() { group down >/dev/null 2>&1; }

# ping_until SECONDS CONDITION MACHINE ARGS...: runs NORVping ARGS on MACHINE
# until CONDITION (a command and its arguments in one word, reading
# $T/ping.out as it grows) succeeds, then stops it with SIGINT; output in
# $T/ping.out. NORVping's pace follows the processor (its pings are counted in
# passes of its loop), so the run lasts as long as the test needs, up to
# SECONDS. Fails unless CONDITION held in time and NORVping ended with 0 and
# its stop message.
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

# pong_caught_up MACHINE: NORVpong on MACHINE logged as many pings from
# machine 0 as netsim delivered to it.
pong_caught_up() {
    [ "$(grep -cE "^t=[0-9]+ from=0 to=$1 .* fate=sent .* dport=16006 " "$T/group/netsim.log")" = \
        "$(grep -c '^Ping from 10.77.0.1:' "$T/group/pong-$1.log")" ]
}

# known_errors MACHINE...: how many pings from machine 0 the NORVpongs on the
# MACHINEs answered with a known error bound (the pings bounds reports on).
known_errors() {
    local m c=0
    for m in "$@"; do
        c=$((c + $(grep -cE '^Ping from 10.77.0.1:.* error [0-9]+ us' "$T/group/pong-$m.log")))
    done
    echo "$c"
}

# bounds MACHINE...: pairs each ping that netsim delivered from machine 0 to
# MACHINE (in order) with the line NORVpong logged for it there, and prints one
# line per ping with a known error bound:
# "MACHINE ESTIMATE_US ERROR_US LOW_US HALF_RTT_US" where LOW_US is the time
# that surely passed from the ping's start stamp to its receipt: the sender's
# elapsed time (carried in the header) plus netsim's measured transit. The
# receipt stamp comes later still, by the receiver's processing time.
bounds() {
    local m
    for m in "$@"; do
        # The last pings may still be on their way when NORVping stops.
        wait_until 60 pong_caught_up "$m" || true  # a gap left is reported below
        grep -E "^t=[0-9]+ from=0 to=$m .* fate=sent .* dport=16006 " "$T/group/netsim.log" >"$T/to-$m"
        grep -E "^t=[0-9]+ from=$m to=0 .* fate=sent .* sport=16006 " "$T/group/netsim.log" >"$T/from-$m"
        grep '^Ping from 10.77.0.1:' "$T/group/pong-$m.log" >"$T/pong-$m"
        awk -v m="$m" '
            function field(line, key,   i, n, kv) {
                n = split(line, kv, " ")
                for (i = 1; i <= n; i++) if (index(kv[i], key "=") == 1) return substr(kv[i], length(key) + 2)
                return ""
            }
            function le64(hex, off,   v, k, hi, lo) {   # little-endian u64 at byte off
                v = 0
                for (k = 7; k >= 0; k--) {
                    hi = index("0123456789abcdef", substr(hex, 2 * (off + k) + 1, 1)) - 1
                    lo = index("0123456789abcdef", substr(hex, 2 * (off + k) + 2, 1)) - 1
                    v = v * 256 + hi * 16 + lo
                }
                return v
            }
            function median(a, n,   i, j, t) {
                for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
                return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
            }
            FILENAME ~ /\/to-/ { n++; low[n] = (le64(field($0, "head"), 12) + field($0, "transit_ns")) / 1000
                                 out[n] = field($0, "transit_ns") / 1000; next }
            FILENAME ~ /\/from-/ { r++; back[r] = field($0, "transit_ns") / 1000; next }
            { p++; est[p] = $5; err[p] = ($0 ~ /error unknown/) ? -1 : $8 }
            END {
                if (n != p) { print "MISMATCH " m " netsim " n " pong " p; exit }
                half = (median(out, n) + median(back, r)) / 2
                for (i = 1; i <= p; i++) if (err[i] >= 0) printf "%d %d %d %.1f %.1f\n", m, est[i], err[i], low[i], half
            }' "$T/to-$m" "$T/from-$m" "$T/pong-$m"
    done
}

# bounds_summary SLACK_US: reads bounds lines and prints how many pings had a
# bound holding their true time (an upper end at least LOW_US, a lower end at
# most LOW_US + SLACK_US for the receiver's processing), the median error
# bound, and the median of each bound against half its link's round trip.
bounds_summary() {
    awk -v slack="$1" '
        /^MISMATCH/ { print; bad = 1; next }
        { total++; est = $2; err = $3; low = $4
          # Times are whole microseconds: allow one for each truncation.
          if (est + err + 2 >= low && est - err <= low + slack + 2) held++
          else if (shown++ < 5) print "outside: machine " $1 " estimate " est " +- " err " us, true at least " low " us"
          e[total] = err; r[total] = $5 > 0 ? err / $5 : 0 }
        function median(a, n,   i, j, t) {
            for (i = 2; i <= n; i++) { t = a[i]; for (j = i - 1; j >= 1 && a[j] > t; j--) a[j + 1] = a[j]; a[j + 1] = t }
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        END {
            printf "held %d of %d; median error bound %d us, %.2f of half the round trip\n", held, total, median(e, total), median(r, total)
            exit (bad || total == 0) }'
}
