#!/bin/bash
# Connection failures of NORVping: no service at all, a service that refuses,
# and a malformed command line that must not even try to connect.
. "$(dirname "$0")/client_common.sh"
have "$NORVPING"
isolate

# No service: /dev/rtf1 does not exist in the private /dev.
st=0
"$NORVPING" 127.0.0.1 >"$T/out" 2>"$T/err" || st=$?
[ "$st" = 1 ] || fail "no service: exit status $st, want 1"
expect_file "$T/out" "$BANNER"
expect_file "$T/err" $'Error on opening a conection to the NORV\n'

# A refusal (negative answer to command 0): same message, nothing else asked.
start_fake --connect -5
st=0
"$NORVPING" -b 127.255.255.255 >"$T/out" 2>"$T/err" || st=$?
[ "$st" = 1 ] || fail "refused: exit status $st, want 1"
expect_file "$T/out" "$BANNER"
expect_file "$T/err" $'Error on opening a conection to the NORV\n'
[ "$(commands)" = "0 " ] || fail "refused: requests [$(commands)], want only command 0"
check "refusal asked on the registration device" log_has '^req dev=rtf1 cmd=0 len=0 payload= reply=fbffffff$'
stop_fake

# With a willing service, a bad command line still asks for nothing.
start_fake
long=$(printf 'A%.0s' $(seq 3000))
for c in "" "-x 127.0.0.1" "-b 127.0.0.1 x" "$long"; do
    st=0
    # shellcheck disable=SC2086
    "$NORVPING" $c >"$T/out" 2>"$T/err" || st=$?
    [ "$st" = 1 ] || fail "[${c:0:20}] exit status $st, want 1"
    expect_file "$T/out" "$BANNER$USAGE"
done
[ "$(log_count '^req ')" = 0 ] || fail "a bad command line reached the service: $(commands)"

# 2999 characters still fit: the client connects and opens its socket.
start_ping "${long:0:2999}"
wait_until 30 log_has ' cmd=3 ' || fail "the longest address text was not accepted"
interrupt "$ping_pid"
[ "$st" = 0 ] || fail "longest address: exit status $st after SIGINT"
pass "no service and refusal exit 1; bad command lines never connect"
