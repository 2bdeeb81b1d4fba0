# A process keeps /dev/rtf1 open, and a client dies between its command 0 and
# reading the answer: its answer stays queued on the shared device. Long
# after (more than the 10 s in which an unopened connection would end), new
# clients come together: each reads the answer in front of its own, so each
# must find that channel still reserved for it, and no two clients may ever
# share one. Every id and clock reading they get must be right.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$PROBE"
isolate
start_norvd --id 3

start holder bash -c 'exec 3<>/dev/rtf1; exec sleep 1000'
wait_until 10 sh -c "ls -l /proc/$holder_pid/fd 2>/dev/null | grep -qF '$NODE_DIR/'" || fail "the holder did not open /dev/rtf1"
bash -c 'exec 3<>/dev/rtf1; printf "\x00\x00\x00\x00\x00\x00\x00\x00" >&3; sleep 0.5; kill -9 $$' 2>/dev/null
wait_until 10 logged "$T/norvd.err" "channel 0: connected" || fail "command 0 not served: $(cat "$T/norvd.err")"
pts0=$(readlink /dev/rtf0)
sleep 11
check "channel 0 ended while its answer was unread" sh -c "! grep -q 'channel 0: reclaimed' '$T/norvd.err'"

clients=5
for i in $(seq $clients); do start "c$i" "$PROBE" exchanges 2000 3; done
for i in $(seq $clients); do
    pid_var=c${i}_pid
    wait "${!pid_var}" || fail "client $i: $(cat "$T/c$i.out" "$T/c$i.err")"
    check "client $i: wrong answers" grep -q '^exchanges 2000 wrong 0$' "$T/c$i.out"
done
# The clients lived together: every one held ptys of its own.
cat "$T"/c*.out | grep '^ptys ' | tr ' ' '\n' | grep -F "$NODE_DIR/" | sort >"$T/ptys"
[ "$(wc -l <"$T/ptys")" = $((2 * clients)) ] || fail "not every client named its ptys: $(cat "$T"/c*.out)"
[ -z "$(uniq -d "$T/ptys")" ] || fail "two clients shared a pty: $(uniq -d "$T/ptys" | tr '\n' ' ')"
check "no client got the dead client's channel 0 ($pts0)" grep -q "^ptys $pts0 " "$T"/c*.out

stop "$holder_pid" TERM
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
pass "$clients clients after an unread answer, each on ptys of its own, every answer right"
