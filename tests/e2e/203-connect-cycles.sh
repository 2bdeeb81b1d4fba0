# 200 connections opened and closed one after the other, then 2 x 100 side by
# side: no link, pty, guard process or descriptor of norvd is left behind.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$PROBE"
isolate
start_norvd --quiet

fds0=$(fds "$norvd_pid")
kids0=$(children "$norvd_pid")
nodes0=$(nodes)
[ "$kids0" = "$GUARDS0" ] || fail "norvd runs $kids0 processes with only /dev/rtf1 served ($GUARDS0 expected: its guard keeper and one guard for ptys)"

timeout 300 "$PROBE" cycles 200 >"$T/cycles.out" || fail "200 cycles did not complete"
start c1 "$PROBE" cycles 100
start c2 "$PROBE" cycles 100
stop_wait() { wait "$1"; }
stop_wait "$c1_pid" || fail "the first of two side-by-side clients failed: $(cat "$T/c1.err")"
stop_wait "$c2_pid" || fail "the second of two side-by-side clients failed: $(cat "$T/c2.err")"

settled() {
    [ "$(links)" = "rtf1 " ] && [ "$(fds "$norvd_pid")" = "$fds0" ] &&
        [ "$(children "$norvd_pid")" = "$kids0" ] && [ "$(nodes)" = "$nodes0" ]
}
wait_until 60 settled ||
    fail "left behind: links '$(links)', fds $(fds "$norvd_pid") (was $fds0), children $(children "$norvd_pid"), nodes $(ls "$NODE_DIR" | tr '\n' ' ')"

stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
[ -z "$(links)" ] || fail "links left behind: $(links)"
pass "400 connections, nothing left behind"
