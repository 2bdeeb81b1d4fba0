#!/bin/bash
# Failure notices written by the service are printed whole and in order by the
# monitor thread; once the notice device keeps failing, the monitor backs off
# instead of spinning, and the client goes on and still stops cleanly.
. "$(dirname "$0")/client_common.sh"
have "$NORVPING"
isolate

start_fake
start_ping 127.0.0.1
wait_until 30 log_has ' cmd=3 ' || fail "the client did not start (requests: $(commands))"

# Reserved bytes hold 0xaa: they must not show anywhere.
# sender 255, seq 2^32-1; machine 0 failure +250; 1 timely -40; 2 nothing;
# 3 status 7 without lateness; 4 timely -2^31.
n1=aaffaaaaffffffff0101aaaafa0000000001aaaad8ffffff0201aaaafa0000000700aaaa630000000001aaaa00000080
n2=0003000011000000$(printf '0200000000000000%.0s' 1 2 3 4 5)
stars='********************************************'
b1="$stars"$'\nMessage from: 255, Seq: 4294967295\n'"$stars"$'\n'
b1+=$'Timing failure on the reception (machine 0)\nlateness degree=250\n\n'
b1+=$'Timely reception on machine 1\nlateness degree=40\n\n'
b1+=$'\n'
b1+=$'Timely reception on machine 3\nLateness degree not available\n\n'
b1+=$'Timely reception on machine 4\nlateness degree=-2147483648\n\n'
b2="$stars"$'\nMessage from: 3, Seq: 17\n'"$stars"$'\n\n\n\n\n\n'

control "notice $n1"
control "notice $n2"
has_both() { grep -q 'Seq: 17' "$T/ping.out"; }
wait_until 30 has_both || fail "notices not printed: [$(cat "$T/ping.out")]"
expect_file "$T/ping.out" "$BANNER$b1$b2"

# Hang the notice device up: every later wait fails at once. The monitor
# prints nothing and must not burn a processor retrying.
control close-notice
wait_until 10 log_has '^closed notice' || fail "the fake did not hang up the notice device"
sleep 0.5
before=$(other_threads_ticks "$ping_pid")
sleep 3
after=$(other_threads_ticks "$ping_pid")
ticks=$((after - before))
hz=$(getconf CLK_TCK)
# A spinning monitor would take about 3 s of processor time here.
[ "$ticks" -lt $((hz / 2)) ] || fail "the monitor used $ticks ticks in 3 s on a failing device"
kill -0 "$ping_pid" 2>/dev/null || fail "the client ended when the notice device failed"

interrupt "$ping_pid"
[ "$st" = 0 ] || fail "exit status $st after SIGINT"
expect_file "$T/ping.out" "$BANNER$b1$b2$STOPPED"
expect_file "$T/ping.err" ""
pass "two notices printed in order; failing device costs $ticks ticks in 3 s"
