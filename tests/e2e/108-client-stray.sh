#!/bin/bash
# A 10-byte datagram that is no timed datagram, sent to the client's port,
# changes nothing: no output, no exit, and the next pings carry the same
# payload as before.
. "$(dirname "$0")/client_common.sh"
have "$NORVPING"
isolate

start_fake
start_ping 127.0.0.1
wait_until 60 log_has '^udp ' || fail "the client did not ping (requests: $(commands))"
control "stray 00010203040506070809"
wait_until 10 log_has '^sent stray len=10' || fail "the fake did not send the stray datagram"
n=$(log_count '^udp ')
wait_until 60 log_at_least $((n + 2)) '^udp ' || fail "the client stopped pinging after the stray datagram"
kill -0 "$ping_pid" 2>/dev/null || fail "the client ended on the stray datagram: $(cat "$T/ping.err")"
zeros=$(printf '0%.0s' $(seq 40))
for ((i = n + 1; i <= n + 2; i++)); do
    h=$(field "$(udp $i)" hex)
    [ "${#h}" = 408 ] || fail "ping $i is $((${#h} / 2)) bytes"
    [ "$(bytes "$h" 184 20)" = "$zeros" ] || fail "ping $i payload changed: $(bytes "$h" 184 20)"
    [ "$(bytes "$h" 1 1)" = 00 ] || fail "ping $i kind $(bytes "$h" 1 1)"
done
[ "$(log_count ' cmd=10 ')" = 0 ] || fail "the stray datagram was reported to the service"
interrupt "$ping_pid"
[ "$st" = 0 ] || fail "exit status $st after SIGINT"
expect_file "$T/ping.out" "$BANNER$STOPPED"
expect_file "$T/ping.err" ""
pass "stray datagram ignored"
