#!/bin/bash
# SIGINT at each stage: before the handler exists (the default action, nothing
# closed), while the main thread is blocked in an exchange before the socket
# exists (only the connection is closed), and while pinging without answers
# (12 then 1). The stop never waits for traffic.
. "$(dirname "$0")/client_common.sh"
have "$NORVPING"
isolate

# 1. Blocked in the registration exchange: no handler yet.
start_fake --stall-connect
start_ping 127.0.0.1
wait_until 30 log_has ' cmd=0 .*reply=stalled' || fail "the client did not register"
interrupt "$ping_pid"
[ "$st" = 130 ] || fail "before the handler: exit status $st, want death by SIGINT (130)"
expect_file "$T/ping.out" "$BANNER"
sleep 0.3
[ "$(commands)" = "0 " ] || fail "before the handler: requests [$(commands)], want nothing closed"
stop_fake

# 2. Blocked waiting for the machine id: the handler is in place, the socket
# does not exist yet. The stop must not wait for the reply that never comes.
start_fake --stall-id
start_ping 127.0.0.1
wait_until 30 log_has ' cmd=3 .*reply=stalled' || fail "the client did not ask for the machine id"
interrupt "$ping_pid"
[ "$st" = 0 ] || fail "blocked in an exchange: exit status $st, want 0"
expect_file "$T/ping.out" "$BANNER$STOPPED"
expect_file "$T/ping.err" ""
wait_until 10 log_has ' cmd=1 ' || fail "command 1 never reached the service"
[ "$(commands)" = "0 3 1 " ] || fail "before the socket: requests [$(commands)], want 0 3 1"
stop_fake

# 3. Pinging, nobody answering.
start_fake
start_ping 127.0.0.1
wait_until 60 log_at_least 2 '^udp ' || fail "the client did not ping (requests: $(commands))"
interrupt "$ping_pid"
[ "$st" = 0 ] || fail "while pinging: exit status $st, want 0"
expect_file "$T/ping.out" "$BANNER$STOPPED"
expect_file "$T/ping.err" ""
wait_until 10 log_has ' cmd=1 ' || fail "command 1 never reached the service"
last=$(commands | awk '{print $(NF-1), $NF}')
[ "$last" = "12 1" ] || fail "while pinging: last requests [$last], want 12 then 1"
[ "$(log_count ' cmd=12 ')" = 1 ] && [ "$(log_count ' cmd=1 ')" = 1 ] || fail "the stop ran more than once"
pass "SIGINT: default action before the handler, 1 alone before the socket, 12 then 1 after"
