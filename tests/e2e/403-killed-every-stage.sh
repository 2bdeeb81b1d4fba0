# 1000 clients killed in every stage of their life: before and during command
# 0, with a channel number and no device, with one device, connected, in the
# middle of a request, before and after the reply of a registration, a receipt
# or a clock read, and after command 1. Afterwards norvd still serves, and no
# link, pty, guard process or descriptor is left behind.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
KILL_CYCLES=$NORV_BIN/tests/service/kill_cycles
have "$NORVD"; have "$PROBE"; have "$KILL_CYCLES"
isolate
start_norvd --quiet

fds0=$(fds "$norvd_pid")
kids0=$(children "$norvd_pid")
ptys0=$(nodes)
[ "$kids0" = "$GUARDS0" ] || fail "norvd runs $kids0 processes with only /dev/rtf1 served ($GUARDS0 expected: its guard keeper and one guard for ptys)"

# The timeout only keeps a hung run from blocking CI: how long 1000 cycles
# take depends on the machine (45 s under AddressSanitizer on 2 busy CPUs).
timeout 300 "$KILL_CYCLES" 1000 >"$T/cycles.out" 2>"$T/cycles.err" ||
    fail "the kill cycles did not complete: $(cat "$T/cycles.err") $(tail -5 "$T/norvd.err")"
kill -0 "$norvd_pid" || fail "norvd died: $(tail -5 "$T/norvd.err")"
timeout 60 "$PROBE" cycles 3 >"$T/probe.out" || fail "a well-behaved client was not served after the kills"
timeout 60 "$PROBE" verdict timely >"$T/verdict.out" || fail "no verdict after the kills"
check "timely verdict after the kills" grep -qE '^machine 0 status 0 known 1 lateness -[0-9]+$' "$T/verdict.out"

# Connections whose clients never opened their devices go 10 s after they were made.
settled() {
    [ "$(links)" = "rtf1 " ] && [ "$(fds "$norvd_pid")" = "$fds0" ] &&
        [ "$(children "$norvd_pid")" = "$kids0" ] && [ "$(nodes)" = "$ptys0" ]
}
wait_until 60 settled ||
    fail "left behind: links '$(links)', fds $(fds "$norvd_pid") (was $fds0), children $(children "$norvd_pid") (was $kids0), ptys $(nodes) (was $ptys0)"
[ "$(ps -o pid= --ppid 1 | wc -l)" -le 3 ] || fail "stray processes: $(ps -ef)"

stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
[ -z "$(links)" ] || fail "links left behind: $(links)"
pass "$(cat "$T/cycles.out"); fds $fds0, guards $kids0, ptys $ptys0 as before"
