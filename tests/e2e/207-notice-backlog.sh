# A client that reads its notices late: 3000 sends registered for a machine
# that never answers are judged while the client reads nothing, far more than
# its notice device holds. Then it reads 3000 notices: the 3000 registration
# ids in the order they were judged, none missing, none repeated, none more,
# and norvd drops none.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$PROBE"
isolate
# Machine 1 is named but nobody serves it: each verdict is "lateness unknown"
# on machine 1, 100 ms after its deadline. Bound to 127.0.0.1, norvd may name
# another loopback address as a peer.
start_norvd --bind 127.0.0.1 --peer 1=127.0.0.2
n=3000

start backlog "$PROBE" backlog "$n"
wait_until 120 logged "$T/backlog.out" "registered all $n" ||
    fail "the registrations did not all go through: $(tail -n 3 "$T/backlog.out" "$T/backlog.err")"
judged() { [ "$(grep -c ' judged: ' "$T/norvd.err")" -ge "$n" ]; }
wait_until 60 judged || fail "norvd judged $(grep -c ' judged: ' "$T/norvd.err") of $n registrations"
# The client still reads nothing for a while; then it reads them all.
sleep 2
kill -USR1 "$backlog_pid"
wait "$backlog_pid" || fail "the probe failed: $(tail -n 3 "$T/backlog.out" "$T/backlog.err")"

sed -n 's/^registered \([0-9][0-9]*\)$/\1/p' "$T/backlog.out" >"$T/ids"
sed -n 's/^notice \([0-9][0-9]*\)$/\1/p' "$T/backlog.out" >"$T/notices"
sed -n 's/^<6>norvd: registration \([0-9][0-9]*\) judged: .*/\1/p' "$T/norvd.err" >"$T/judged"
[ "$(wc -l <"$T/ids")" = "$n" ] || fail "$(wc -l <"$T/ids") registration ids instead of $n"
[ "$(sort -u "$T/ids" | wc -l)" = "$n" ] || fail "registration ids repeat"
! grep -q '^unexpected' "$T/backlog.out" ||
    fail "notices with unexpected verdicts: $(grep -m3 '^unexpected' "$T/backlog.out")"
check "norvd judged in another order than registered: $(diff "$T/ids" "$T/judged" | head -5)" \
    cmp -s "$T/ids" "$T/judged"
check "the notices are not the registrations in order: $(diff "$T/ids" "$T/notices" | head -5)" \
    cmp -s "$T/ids" "$T/notices"
check "notices after the last one: $(grep extra "$T/backlog.out")" logged "$T/backlog.out" "extra notices 0"
# The backlog was real: notices waited in norvd, and none was dropped.
check "no notice waited for room" logged "$T/norvd.err" "notice waits for room"
! grep -qi dropped "$T/norvd.err" || fail "norvd dropped something: $(grep -i -m3 dropped "$T/norvd.err")"

kill -0 "$norvd_pid" || fail "norvd died"
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
pass "$n notices read late, all in the order judged"
