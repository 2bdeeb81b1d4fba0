# Garbage on /dev/rtf1, on a request FIFO and on a notice FIFO, a name that
# holds a newline, and a client that never reads its notices: each is logged,
# on one line, and everyone else is served.
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
# send_until_logged TEXT DEVICE BYTES: writes BYTES (a printf format) to
# DEVICE until norvd logs TEXT. Lines of one kind go out at most once a
# second, so a request may need repeating; those held back are counted.
send_until_logged() {
    local text=$1 device=$2 bytes=$3 deadline=$((SECONDS + 10))
    until logged "$T/norvd.err" "$text"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        printf "$bytes" >"$device"
        sleep 0.2
    done
}
# Unknown command 99 with 8 bytes; command 2 with a negative length; bytes on the notice FIFO.
send_until_logged "channel $n: unknown command 99" "/dev/rtf$n" '\x63\x00\x00\x00\x08\x00\x00\x00abcdefgh' ||
    fail "unknown command not logged"
send_until_logged "command 2 with length -8" "/dev/rtf$n" '\x02\x00\x00\x00\xf8\xff\xff\xff' ||
    fail "negative length not logged"
send_until_logged "written on a notice FIFO" "/dev/rtf$((n + 3))" '\x02\x00\x00\x00\x00\x00\x00\x00' ||
    fail "write on a notice FIFO not logged"
check "refusals are warnings" grep -q '^<4>norvd: /dev/rtf[0-9]*: command 2 written on a notice FIFO' "$T/norvd.err"
# A burst: the lines held back are counted, and a summary tells the count
# when no more such requests come.
for i in $(seq 20); do printf '\x02\x00\x00\x00\x00\x00\x00\x00' >"/dev/rtf$((n + 3))"; done
wait_until 10 grep -qE '^<4>norvd: request not served: [0-9]+ more suppressed$' "$T/norvd.err" ||
    fail "no count of the requests held back: $(tail -3 "$T/norvd.err")"

# Command 6 with a module name that holds a newline and what would look like
# a line of norvd's own: one line, the name escaped.
name=$'evil\n<3>norvd: forged line\\'
{
    printf '\x06\x00\x00\x00\xc4\x00\x00\x00'
    head -c 24 /dev/zero
    printf '%s' "$name"
    head -c $((50 - ${#name} + 122)) /dev/zero
} >"$T/exec"
[ "$(stat -c %s "$T/exec")" = 204 ] || fail "the request of command 6 is not 204 bytes"
cat "$T/exec" >"/dev/rtf$n"
wait_until 10 logged "$T/norvd.err" "forged line" || fail "command 6 not logged: $(tail -3 "$T/norvd.err")"
! grep -q '^<3>norvd: forged line' "$T/norvd.err" || fail "the name forged a line: $(grep -B1 'forged line' "$T/norvd.err")"
[ "$(grep -c 'forged line' "$T/norvd.err")" = 1 ] || fail "the name took more than one line: $(grep -B1 'forged line' "$T/norvd.err")"
check "the name escaped in the line of command 6" \
    grep -qF "<6>norvd: channel $n: timely execution evil\x0a<3>norvd: forged line\x5c//" "$T/norvd.err"

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
