# NORVpong outlives a norvd killed with SIGKILL: it reconnects to the next
# norvd, binds port 16006 again and answers every ping of a new NORVping, each
# with a verdict that carries a lateness on machine 0.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$NORVPONG"; have "$NORVPING"
isolate

start_norvd
start_pong
start ping "$NORVPING" 127.0.0.1
# count REGEX FILE: lines of FILE that match; 0 while FILE is not there yet.
count() { local n; n=$(grep -sc -- "$1" "$2"); echo "${n:-0}"; }
answers() { count '^Packet From 127.0.0.1:' "$T/ping.out"; }
at_least_answers() { [ "$(answers)" -ge "$1" ]; }
wait_until 45 at_least_answers 2 || fail "no answers before the restart: $(cat "$T/ping.out" "$T/ping.err")"

stop "$norvd_pid" KILL
mv "$T/norvd.err" "$T/first.err"
# With no service, NORVpong's attempts fail and it backs off; the next norvd
# starts once two of them have failed.
wait_until 30 logged "$T/pong.err" "NORVpong: reconnection attempt 2 failed: " ||
    fail "NORVpong does not try to reconnect: $(cat "$T/pong.err")"
check "the first attempt's delay" logged "$T/pong.err" "NORVpong: reconnection attempt 1 in 100 ms"
check "the second attempt's delay" logged "$T/pong.err" "NORVpong: reconnection attempt 2 in 200 ms"
start norvd "$NORVD"
wait_until 10 logged "$T/norvd.err" "serving /dev/rtf1" || fail "norvd did not restart: $(cat "$T/norvd.err")"
wait_until 30 logged "$T/pong.err" "NORVpong: reconnected" ||
    fail "NORVpong did not reconnect: $(cat "$T/pong.err")"
kill -0 "$pong_pid" 2>/dev/null || fail "NORVpong ended: $(cat "$T/pong.err")"

# The first NORVping has lost its service too (it ends on its next ping). From
# here on every answer of NORVpong goes to the second one.
stop "$ping_pid"
mv "$T/ping.out" "$T/first-ping.out"
before=$(wc -l <"$T/pong.out")
last=$(sed -nE 's/^Ping from .*, answer ([0-9]+)$/\1/p' "$T/pong.out" | tail -n 1)
last=${last:-0}

start ping "$NORVPING" 127.0.0.1
notices() { count '^Message from: ' "$T/ping.out"; }
enough() { [ "$(answers)" -ge 5 ] && [ "$(notices)" -ge 5 ]; }
wait_until 60 enough || fail "fewer than 5 answers and notices after the restart: $(cat "$T/ping.out" "$T/ping.err" "$T/pong.err")"
stop "$ping_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "NORVping ended with $STOPPED_STATUS"

# The pings NORVping sent: the registrations it made with the new norvd (the
# only registering client there). NORVping sends a registered ping whole
# before its stop goes ahead, so each of them reached NORVpong.
sed -nE 's/^<6>norvd: channel [0-9]+: registration ([0-9]+): machines .*/\1/p' "$T/norvd.err" >"$T/sent"
sent=$(wc -l <"$T/sent")
pong_answers() { tail -n "+$((before + 1))" "$T/pong.out" | sed -nE 's/^Ping from .*, answer ([0-9]+)$/\1/p'; }
all_answered() { [ "$(pong_answers | wc -l)" -ge "$sent" ]; }
wait_until 10 all_answered ||
    fail "NORVpong answered $(pong_answers | wc -l) of $sent pings: $(cat "$T/pong.err")"
# NORVpong numbers its answers one by one: no ping was skipped in between.
pong_answers >"$T/pong-seqs"
seq "$((last + 1))" "$((last + sent))" >"$T/expected-seqs"
cmp -s "$T/pong-seqs" "$T/expected-seqs" ||
    fail "NORVpong's answers after the restart are $(tr '\n' ' ' <"$T/pong-seqs"), not $((last + 1)) to $((last + sent))"

# NORVping's side: the answer numbers it printed, and each notice's sequence
# and machine 0's verdict ("lateness" when it carries one).
sed -nE 's/^Send   : time <[0-9]+> us error <[0-9]+> us SEQ:([0-9]+)$/\1/p' "$T/ping.out" >"$T/ping-seqs"
awk '
    function done() { if (seq != "") print seq, verdict; seq = "" }
    /^Message from: [0-9]+, Seq: [0-9]+$/ { done(); seq = $NF; verdict = "none"; next }
    seq == "" { next }
    /^Packet From / || /^NORVPing stopped/ { done(); next }
    /^Timely reception on machine 0$/ || /^Timing failure on the reception \(machine 0\)$/ {
        verdict = "pending"; next }
    verdict == "pending" { verdict = ($0 ~ /^lateness degree=-?[0-9]+$/) ? "lateness" : $0 }
    END { done() }' "$T/ping.out" >"$T/verdicts"
bad=$(awk '$2 != "lateness"' "$T/verdicts")
[ -z "$bad" ] || fail "verdicts without a lateness on machine 0: $bad"
! logged "$T/ping.out" "Lateness degree not available" || fail "a verdict without a lateness degree"

# A ping is complete when NORVping printed both its answer and its notice.
# Answers and notices must each cover the first pings sent, in order, with no
# gap; the pings after the last complete one were in flight at the stop.
answered=$(wc -l <"$T/ping-seqs")
noticed=$(wc -l <"$T/verdicts")
# (The private /dev has no /dev/fd: no process substitution here.)
cut -d' ' -f1 "$T/verdicts" >"$T/noticed"
head -n "$answered" "$T/expected-seqs" | cmp -s - "$T/ping-seqs" ||
    fail "NORVping's answers are $(tr '\n' ' ' <"$T/ping-seqs"), not $((last + 1)) on"
head -n "$noticed" "$T/sent" | cmp -s - "$T/noticed" ||
    fail "notices for $(tr '\n' ' ' <"$T/noticed"), pings sent $(tr '\n' ' ' <"$T/sent")"
complete=$((answered < noticed ? answered : noticed))

stop "$pong_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "NORVpong ended with $STOPPED_STATUS on SIGINT"
stop "$norvd_pid"
pass "after the restart: $sent pings sent, $sent answered by NORVpong; NORVping printed $answered answers and $noticed verdicts with a lateness; $((sent - complete)) in flight at the stop"
