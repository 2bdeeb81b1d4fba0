# Garbage on /dev/rtf1, on a request FIFO and on a notice FIFO, and a client
# that never reads its notices: each is logged, and everyone else is served.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$PROBE"
isolate
start_norvd

head -c 3000 /dev/urandom >/dev/rtf1
wait_until 10 logged "$T/norvd.err" "/dev/rtf1: malformed request" || fail "garbage not noticed: $(cat "$T/norvd.err")"
timeout 30 "$PROBE" cycles 3 >/dev/null || fail "no service after garbage on /dev/rtf1"

start hold "$PROBE" hold
wait_until 10 logged "$T/hold.out" connected || fail "no connection"
n=$(sed -nE 's/.*channel ([0-9]+): connected.*/\1/p' "$T/norvd.err" | tail -1)
# Unknown command 99 with 8 bytes; command 2 with a negative length; bytes on the notice FIFO.
printf '\x63\x00\x00\x00\x08\x00\x00\x00abcdefgh' >"/dev/rtf$n"
wait_until 10 logged "$T/norvd.err" "channel $n: unknown command 99" || fail "unknown command not logged"
printf '\x02\x00\x00\x00\xf8\xff\xff\xff' >"/dev/rtf$n"
wait_until 10 logged "$T/norvd.err" "command 2 with length -8" || fail "negative length not logged"
printf '\x02\x00\x00\x00\x00\x00\x00\x00' >"/dev/rtf$((n + 3))"
wait_until 10 logged "$T/norvd.err" "written on a notice FIFO" || fail "write on a notice FIFO not logged"

timeout 60 "$PROBE" timeliness >"$T/timeliness.out" || fail "no service after garbage on a channel"
check "measurement" grep -qE '^measurement handle [1-9][0-9]* end 0 start [0-9]+ duration [0-9]+$' "$T/timeliness.out"
check "unknown measurement" logged "$T/timeliness.out" "unknown measurement end -1"
check "local failure detection within its limit" grep -qE '^localfd handle [0-9]+ end 0 failed 0$' "$T/timeliness.out"
check "local failure detection past its limit" grep -qE '^localfd handle [0-9]+ end 0 failed 1$' "$T/timeliness.out"
check "unknown local failure detection" logged "$T/timeliness.out" "unknown localfd end -1"
check "timely execution deadline 5 ms after norvd's clock" \
    grep -qE '^exec deadline less 5 ms: [0-9]+ ns after the clock before, [0-9]+ ns before the clock after$' "$T/timeliness.out"

# 150 notices for a client that never reads them: the line holds about 85,
# the others wait in norvd.
start flood "$PROBE" flood 150
wait_until 30 logged "$T/norvd.err" "notice waits for room" || fail "no notice waits: $(tail "$T/norvd.err")"
for how in timely late missing; do
    timeout 60 "$PROBE" verdict $how >"$T/$how.out" || fail "no verdict $how while a client left notices unread"
done
check "timely verdict" grep -qE '^machine 0 status 0 known 1 lateness -[0-9]+$' "$T/timely.out"
check "repeated receipt refused" logged "$T/timely.out" "receipt again 1"
check "late verdict" logged "$T/late.out" "machine 0 status 1 known 1 lateness 5000"
check "missing verdict" logged "$T/missing.out" "machine 0 status 1 known 0 lateness 0"
check "machines outside the group" logged "$T/missing.out" "machine 4 status 2 known 0 lateness 0"

kill -0 "$norvd_pid" || fail "norvd died"
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
pass "garbage logged, service went on"
