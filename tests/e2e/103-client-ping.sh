#!/bin/bash
# One ping's road through NORVping: the registration (command 9) with its
# start stamp and fixed values, the timed datagram to 127.0.0.1:16006, the
# answer printed, the next ping carrying the answer's first 20 payload bytes,
# and a stop by SIGINT with traffic that closes the socket and the connection.
. "$(dirname "$0")/client_common.sh"
have "$NORVPING"
isolate

# Answer payload: sendError 2500999, sendTime 2^64-1, seq 77, then 4 bytes
# past the 20 that the client keeps.
answer=$(le 2500999 8)ffffffffffffffff$(le 77 4)deadbeef
start_fake --id 2 --answer "$answer"
start_ping 127.0.0.1

wait_until 60 log_has '^udp ' || fail "no ping reached 127.0.0.1:16006 (requests: $(commands))"
[ "$(commands | cut -d' ' -f1-5)" = "0 3 2 9 2" ] || fail "start-up and first ping requests: [$(commands)]"

# Registration of the first ping.
clock1=$(field "$(req 1 2)" reply)
reg=$(req 1 9)
p=$(field "$reg" payload)
reply9=$(field "$reg" reply)
[ "$(field "$reg" len)" = 184 ] || fail "command 9 length $(field "$reg" len)"
[ "$(bytes "$p" 0 8)" = "$clock1" ] || fail "start stamp $(bytes "$p" 0 8), want the clock $clock1"
[ "$(bytes "$p" 8 8)" = "$(le 490 8)" ] || fail "first value $(bytes "$p" 8 8), want 490"
[ "$(bytes "$p" 16 8)" = "$(le 2000000 8)" ] || fail "second value $(bytes "$p" 16 8), want 2000000"
[ "$(bytes "$p" 24 1)" = 1f ] || fail "8-bit value $(bytes "$p" 24 1), want 31"
[ "$(bytes "$p" 28 4)" = "$(le 16006 4)" ] || fail "32-bit value $(bytes "$p" 28 4), want 16006"
[ "$(bytes "$p" 32 50)" = "$(name_field appmod1)" ] || fail "moduleName $(bytes "$p" 32 50)"
[ "$(bytes "$p" 82 50)" = "$(name_field timelyExec)" ] || fail "activityName $(bytes "$p" 82 50)"
[ "$(bytes "$p" 132 50)" = "$(name_field timelyExec_wcet)" ] || fail "wcetName $(bytes "$p" 132 50)"

# The datagram: 184-byte header and the 20 payload bytes, zero before any answer.
d=$(udp 1)
h=$(field "$d" hex)
clock2=$(field "$(req 2 2)" reply)
[ "$(field "$d" len)" = 204 ] || fail "first ping is $(field "$d" len) bytes, want 204"
[ "$(bytes "$h" 0 1)" = 02 ] || fail "senderId $(bytes "$h" 0 1), want the machine id 2"
[ "$(bytes "$h" 1 1)" = 00 ] || fail "kind $(bytes "$h" 1 1), want 0"
[ "$(bytes "$h" 4 8)" = "$clock2" ] || fail "sendStamp $(bytes "$h" 4 8), want the clock $clock2"
elapsed=$(($(le_value "$clock2") - $(le_value "$clock1")))
[ "$(bytes "$h" 12 8)" = "$(le $elapsed 8)" ] || fail "elapsed $(bytes "$h" 12 8), want $elapsed"
[ "$(bytes "$h" 180 4)" = "$reply9" ] || fail "registrationId $(bytes "$h" 180 4), want $reply9"
[ "$(bytes "$h" 184 20)" = "$(printf '0%.0s' $(seq 40))" ] || fail "first payload $(bytes "$h" 184 20), want zeros"

# The answer, printed whole; every later ping carries its first 20 bytes.
block=$'Packet From 127.0.0.1:\n------------------------------------\nSend   : time <18446744073709551> us error <2500> us SEQ:77\n\n'
has_answer() { grep -q 'SEQ:77' "$T/ping.out"; }
wait_until 30 has_answer || fail "no answer printed: [$(cat "$T/ping.out")]"
wait_until 60 log_has '^udp .* len=204 hex=.{368}'"${answer:0:40}" ||
    fail "no later ping carried the answer's payload: $(udp 2 | cut -c1-80)..."

interrupt "$ping_pid"
[ "$st" = 0 ] || fail "exit status $st after SIGINT, want 0"
wait_until 10 log_has ' cmd=1 ' || fail "command 1 never reached the service"
last=$(commands | awk '{print $(NF-1), $NF}')
[ "$last" = "12 1" ] || fail "last requests [$last], want 12 then 1"
check "command 12 carries server id 0" log_has '^req dev=rtf5 cmd=12 len=4 payload=00000000 '
expect_file "$T/ping.err" ""
# Output: banner, whole answer blocks only, the stop message last.
out=$(cat "$T/ping.out"; echo x)
out=${out%x}
rest=${out#"$BANNER"}
[ "$rest" != "$out" ] || fail "output does not start with the banner"
rest=${rest%"$STOPPED"}
[ "$rest" != "${out#"$BANNER"}" ] || fail "output does not end with the stop message"
n=0
while [ -n "$rest" ]; do
    [ "${rest#"$block"}" != "$rest" ] || fail "unexpected output: [$(printf '%q' "${rest:0:120}")]"
    rest=${rest#"$block"}
    n=$((n + 1))
done
[ "$n" -ge 1 ] || fail "no answer block"
pass "registration, datagram, $n answer(s) printed, payload echoed, stop with 12 then 1"
