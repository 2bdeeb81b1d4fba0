#!/bin/bash
# Registration refusals: -12 and -13 are taken silently (nothing sent, the
# loop goes on to the next due ping); any other refusal ends the client with
# its message, status 0, and commands 12 then 1.
. "$(dirname "$0")/client_common.sh"
have "$NORVPING"
isolate

start_fake --register -12,-13,-5
start_ping 127.0.0.1
wait_until 60 exited "$ping_pid" || fail "the client did not stop on the refusal -5 (requests: $(commands))"
await "$ping_pid"
[ "$st" = 0 ] || fail "exit status $st, want 0"
wait_until 10 log_has ' cmd=1 ' || fail "command 1 never reached the service"
# Each refused attempt read the clock and registered; nothing else until the exit.
[ "$(commands)" = "0 3 2 9 2 9 2 9 12 1 " ] || fail "requests [$(commands)]"
[ "$(log_count '^udp ')" = 0 ] || fail "a refused ping was sent"
expect_file "$T/ping.out" "$BANNER"
first=$(head -n1 "$T/ping.err")
[ "$first" = "On send a packet in a NORV socket..." ] || fail "message [$first]"
# The rest is perror's ": text" when errno was set, else nothing.
rest=$(tail -n +2 "$T/ping.err")
[ -z "$rest" ] || [[ "$rest" == ": "* ]] || fail "unexpected error text [$rest]"
pass "-12 and -13 silent, -5 fatal with status 0"
