# One norvd per machine; a killed norvd leaves stale links that the next one
# replaces; a client that is a session leader survives both ends of norvd.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$PROBE"
isolate
start_norvd

rc=0
timeout 10 "$NORVD" >"$T/second.out" 2>"$T/second.err" || rc=$?
[ "$rc" = 1 ] || fail "a second norvd ended with $rc"
check "the second norvd's message" logged "$T/second.err" "another norvd (pid $norvd_pid) is already serving /dev/rtf1"

# setsid: a session leader without a controlling terminal, as daemons are.
start held setsid "$PROBE" hold
wait_until 10 logged "$T/held.out" connected || fail "no connection: $(cat "$T/held.err")"

stop "$norvd_pid" KILL
no_norvd() { ! ps -C norvd -o pid= >/dev/null; }
wait_until 10 no_norvd || fail "norvd's guards outlived it: $(ps -C norvd -o pid=,ppid=)"
[ "$(links)" = "rtf0 rtf1 rtf3 " ] || fail "expected the stale links of a killed norvd, found '$(links)'"
kill -0 "$held_pid" 2>/dev/null || fail "the session-leader client died with norvd"

mv "$T/norvd.err" "$T/first.err"
# The stale /dev/rtf1 is there already: wait for the new norvd to say it serves.
start norvd "$NORVD"
wait_until 10 logged "$T/norvd.err" "serving /dev/rtf1" || fail "norvd did not restart: $(cat "$T/norvd.err")"
check "stale links replaced" logged "$T/norvd.err" "removed the stale link /dev/rtf1"
check "stale channel link removed" logged "$T/norvd.err" "removed the stale link /dev/rtf3"
timeout 30 "$PROBE" cycles 2 >/dev/null || fail "no service after a restart"

stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
[ -z "$(links)" ] || fail "links left behind: $(links)"
kill -0 "$held_pid" 2>/dev/null || fail "the session-leader client died when norvd stopped"
pass "one norvd at a time, stale links replaced, session leaders unharmed"
