#!/bin/bash
# A clock reading with its top bit set ends the client with its message,
# status 0 and commands 12 then 1; the largest reading without it is used.
. "$(dirname "$0")/client_common.sh"
have "$NORVPING"
isolate

for bad in 0x8000000000000000 0xffffffffffffffff; do
    start_fake --clock "$bad"
    start_ping 127.0.0.1
    wait_until 60 exited "$ping_pid" || fail "$bad: the client did not stop (requests: $(commands))"
    await "$ping_pid"
    [ "$st" = 0 ] || fail "$bad: exit status $st, want 0"
    wait_until 10 log_has ' cmd=1 ' || fail "$bad: command 1 never reached the service"
    [ "$(commands)" = "0 3 2 12 1 " ] || fail "$bad: requests [$(commands)]"
    expect_file "$T/ping.out" "$BANNER"
    first=$(head -n1 "$T/ping.err")
    [ "$first" = "Error on geting a timestamp from the NORV" ] || fail "$bad: message [$first]"
    stop_fake
done

start_fake --clock 0x7fffffffffffffff
start_ping 127.0.0.1
wait_until 60 log_has '^udp ' || fail "a clock of 2^63-1 was refused (requests: $(commands))"
check "2^63-1 is the start stamp" log_has '^req dev=rtf5 cmd=9 len=184 payload=ffffffffffffff7f'
interrupt "$ping_pid"
[ "$st" = 0 ] || fail "exit status $st after SIGINT"
expect_file "$T/ping.err" ""
pass "top-bit clock readings fatal, 2^63-1 accepted"
