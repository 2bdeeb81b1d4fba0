# A flood of hostile datagrams (short, long, every kind, every senderId,
# registration ids of this and of other machines) at NORVping's port and at
# NORVpong's port 16006 while they serve real pings: nobody crashes, real
# answers are still printed after the flood, and the resident memory of
# NORVping, NORVpong and norvd stays flat. Then a flood at norvd's peer port
# 16007: norvd writes at most one line a second about the stranger's
# datagrams, with the count of the others. How many answers come during the
# flood depends on this host's speed: that count is reported, not checked.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
FLOOD=$NORV_BIN/tests/service/flood
have "$NORVD"; have "$NORVPONG"; have "$NORVPING"; have "$NORVCTL"; have "$FLOOD"
isolate

# --bind opens the peer socket, though norvd has no peer.
start_norvd --quiet --bind 127.0.0.1
start_pong
start ping "$NORVPING" 127.0.0.1

# Real answers come from 127.0.0.1; the flood comes from 127.0.0.2, so what
# NORVping makes of an accepted hostile datagram is printed under that address.
answers() { grep -c '^Packet From 127.0.0.1:$' "$T/ping.out" 2>/dev/null || true; }
at_least() { [ "$(answers)" -ge "$1" ]; }
wait_until 60 at_least 4 || fail "fewer than 4 answers before the flood: $(cat "$T/ping.out" "$T/ping.err")"

# NORVping's timed socket, found by its process: norvd's peer socket is a UDP
# socket too, so a port taken by elimination could be norvd's.
ping_ports=$(udp_ports "$ping_pid")
[ "$(echo "$ping_ports" | wc -w)" = 1 ] || fail "NORVping holds UDP ports '$ping_ports', not one: $(cat /proc/net/udp)"
ping_port=$ping_ports
[ "$ping_port" != 16006 ] && [ "$ping_port" != 16007 ] || fail "NORVping's port is $ping_port"

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# A first, short flood brings every program to its working size (buffers,
# tables, the log of accepted receipts); the long one must not add to it.
"$FLOOD" 127.0.0.2 1 2000 1 "$ping_port" 16006 >"$T/warmup.out" || fail "the flood program failed"
for p in ping pong norvd; do eval "rss0_$p=\$(rss \$${p}_pid)"; done

a0=$(answers)
timeout 60 "$FLOOD" 127.0.0.2 12 2000 2 "$ping_port" 16006 >"$T/flood.out" || fail "the flood program failed"
a1=$(answers)
wait_until 60 at_least $((a1 + 3)) || fail "no real answers after the flood: $(tail -20 "$T/ping.out")"

for p in ping pong norvd; do
    pid_var=${p}_pid
    kill -0 "${!pid_var}" 2>/dev/null || fail "$p died: $(tail -5 "$T/$p.err")"
done
report=""
for p in ping pong norvd; do
    pid_var=${p}_pid; before_var=rss0_$p
    after=$(rss "${!pid_var}")
    report+="$p ${!before_var}->${after} kB "
    # Allocators round up and the stack may touch a page or two more.
    [ "$after" -le $((${!before_var} + 512)) ] || fail "$p grew during the flood: $report"
done
check "the hostile datagrams reached their targets" grep -qE '^sent [0-9]+' "$T/flood.out"

# Then a flood at norvd's peer port. The floods before went to NORVping and
# NORVpong alone: norvd has counted no stranger's datagram yet, so every line
# from here on tells of this flood only (the check below holds it to that).
not_peer() { "$NORVCTL" --json peers | sed -nE 's/.*"not_peer": *([0-9]+).*/\1/p'; }
np0=$(not_peer)
[ "$np0" = 0 ] || fail "norvd counted $np0 datagrams of a stranger before the flood at its port"
lines0=$(wc -l <"$T/norvd.err")
t0=$(date +%s%N)
timeout 60 "$FLOOD" 127.0.0.2 6 2000 3 16007 >"$T/stranger.out" || fail "the flood program failed"
sent=$(sed -nE 's/^sent ([0-9]+) .*/\1/p' "$T/stranger.out")
received=$(not_peer)
[ -n "$received" ] && [ "$received" -gt 0 ] && [ "$received" -le "$sent" ] ||
    fail "norvd counts '$received' datagrams of a stranger, $sent were sent"
# Each datagram norvd received has its line or is counted once in a later
# line; the count of the last second is told when that second is over.
stranger_lines() {
    tail -n "+$((lines0 + 1))" "$T/norvd.err" >"$T/flood-lines"
    grep -E 'not a peer|^<4>norvd: datagram from a non-peer: ' "$T/flood-lines" >"$T/stranger-lines"
    told=$(sed -nE 's/.* \(([0-9]+) more suppressed\)$/\1/p; s/^<4>norvd: datagram from a non-peer: ([0-9]+) more suppressed$/\1/p' \
        "$T/stranger-lines" | awk '{ s += $1 } END { print s + 0 }')
    seen=$(($(grep -c 'not a peer' "$T/stranger-lines") + told))
}
all_told() { stranger_lines; [ "$seen" -ge "$received" ]; }
wait_until 60 all_told || fail "the lines tell $seen of the $received datagrams norvd received: $(head -5 "$T/stranger-lines")"
t1=$(date +%s%N)
stranger_lines
[ "$seen" = "$received" ] || fail "the lines tell $seen datagrams, norvd received $received: $(head -5 "$T/stranger-lines")"
strangers=$(wc -l <"$T/stranger-lines")
# Lines of one kind are a second apart at least: over t1 - t0 there are at
# most that many seconds and one.
bound=$(((t1 - t0) / 1000000000 + 1))
[ "$strangers" -ge 2 ] || fail "only $strangers lines about the stranger's datagrams: $(head -3 "$T/flood-lines")"
[ "$strangers" -le "$bound" ] ||
    fail "$strangers lines about the stranger's datagrams in $(((t1 - t0) / 1000000)) ms: $(head -5 "$T/stranger-lines")"
check "every line about the stranger is a warning" sh -c "! grep -v '^<4>norvd: ' '$T/stranger-lines'"
[ "$told" -gt 0 ] || fail "no count of the suppressed lines: $(head -5 "$T/stranger-lines")"

stop "$ping_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "NORVping ended with $STOPPED_STATUS"
stop "$pong_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "NORVpong ended with $STOPPED_STATUS"
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
pass "$(cat "$T/flood.out"); real answers $a0 before, $a1 at the end, $(answers) after; RSS $report; norvd: $strangers lines tell the $received datagrams of a stranger it received at its peer port ($sent sent)"
