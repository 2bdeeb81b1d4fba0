# norvd, NORVpong and NORVping 127.0.0.1 on one machine: answers whose
# estimates hold the delays norvd measured, a verdict on machine 0 in every
# notice, and a clean stop of every program.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$NORVPONG"; have "$NORVPING"
isolate

start_norvd
start_pong
start ping "$NORVPING" 127.0.0.1

answers() { grep -c '^Packet From 127.0.0.1:' "$T/ping.out" 2>/dev/null; }
notices() { grep -sc '^Message from: 0, Seq: ' "$T/ping.out"; }
enough_answers() { [ "$(answers)" -ge 4 ]; }
enough_verdicts() { [ "$(notices)" -ge 4 ]; }
wait_until 60 enough_answers || fail "fewer than 4 answers: $(cat "$T/ping.out" "$T/ping.err")"
wait_until 60 enough_verdicts || fail "fewer than 4 notices: $(cat "$T/ping.out")"

stop "$ping_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "NORVping ended with $STOPPED_STATUS on SIGINT"
check "NORVping's stop message" logged "$T/ping.out" "NORVPing stopped by user"
# Each notice is printed whole, with a verdict on machine 0; whether it is
# timely depends on how busy this host is, so that share is only reported.
timely=$(grep -c '^Timely reception on machine 0$' "$T/ping.out")
late=$(grep -c '^Timing failure on the reception (machine 0)$' "$T/ping.out")
[ $((timely + late)) = "$(notices)" ] || fail "$(notices) notices, $timely timely and $late late verdicts on machine 0"
# The verdicts name machine 0 only: the others are not in a one-machine group.
check "a verdict on a machine outside the group" \
    sh -c "! grep -q 'on machine [1-4]\|(machine [1-4])' '$T/ping.out'"

# Answers from the second on carry a known error bound. NORVpong's estimate of
# each ping (start stamp to receipt) must hold the delay that norvd measured
# for the same ping: 2000 us plus its lateness.
sed -nE 's/.*registration ([0-9]+) judged: machine 0 (timely|late) \(\+?(-?[0-9]+) us\).*/\1 \3/p' \
    "$T/norvd.err" >"$T/delays"
sed -nE 's/.*estimate ([0-9]+) us error ([0-9]+) us, answer ([0-9]+)$/\3 \1 \2/p' \
    "$T/pong.out" >"$T/estimates"
awk '
    FNR == NR { delay[$1] = 2000 + $2; next }
    {   k = $1; est = $2; err = $3; checked++
        if (!(k in delay)) { print "no verdict for ping " k; bad++; next }
        d = est - delay[k]; if (d < 0) d = -d
        if (d > err + 2) { print "ping " k ": delay " delay[k] " us outside " est " +- " err " us"; bad++ }
    }
    END { if (checked < 2) { print "only " checked+0 " answers with a known error"; bad++ }
          exit bad > 0 }' "$T/delays" "$T/estimates" >"$T/bounds" ||
    fail "implausible estimates: $(cat "$T/bounds")"
largest=$(awk '$3 > m { m = $3 } END { print m + 0 }' "$T/estimates")
check "answers in NORVping's format" \
    grep -qE '^Send   : time <[0-9]+> us error <[0-9]+> us SEQ:[0-9]+$' "$T/ping.out"

stop "$pong_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "NORVpong ended with $STOPPED_STATUS on SIGINT"
check "NORVpong's stop line" logged "$T/pong.out" "NORVpong: stopped by Interrupt"
both_closed() { [ "$(grep -c 'closed by its client' "$T/norvd.err")" -ge 2 ]; }
wait_until 10 both_closed ||
    fail "the clients' connections were not closed: $(cat "$T/norvd.err")"

stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS on SIGINT"
check "norvd's stop line" grep -qx '<6>norvd: stopped' "$T/norvd.err"
[ -z "$(links)" ] || fail "links left behind: $(links)"
[ ! -e /dev/.norvd.lock ] || fail "lock file left behind"
pass "$(answers) answers, estimates within their bounds (largest $largest us); machine 0 timely in $timely of $(notices) notices"
