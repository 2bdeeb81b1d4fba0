# Who may connect, and whose a connection's devices are. /dev/rtf1 is open to
# root and the members of norvd's group only (by default the group norv, or
# root alone when there is none). A connection's devices are its user's alone
# (0600) when every process that holds /dev/rtf1 at its command 0 is that
# user's, and group-only (0660) when not. nobody, once in the group, connects
# but cannot open root's connection, and root's NORVping goes on meanwhile;
# nobody holding /dev/rtf1 open only makes root's next connection group-only.
# One user cannot deny the others: nobody fills its share of the connections
# (16 of 64) and of the pending registrations (1024 of 4096), its next
# connection and registration are refused (-12) and logged by uid, and root's
# new NORVping still gets its answers and verdicts.
# The group exists only in this test's namespace: a private copy of
# /etc/group is mounted over the machine's.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$NORVPONG"; have "$NORVPING"; have "$PROBE"; have "$NORVCTL"
command -v setpriv >/dev/null || skip "setpriv is not installed"
id nobody >/dev/null 2>&1 || skip "no user nobody"
isolate

private_groups
# node LINK: "uid:gid mode" of the device that LINK leads to.
node() { stat -L -c '%u:%g %a' "$1"; }
# devices CHANNEL WANT: both devices of CHANNEL are "uid:gid mode" WANT.
devices() {
    local d
    for d in "$1" $(($1 + 3)); do
        [ "$(node /dev/rtf$d)" = "$2" ] || { echo "/dev/rtf$d is $(node /dev/rtf$d), want $2" >&2; return 1; }
    done
}
# denied in|out DEVICE: nobody's open of DEVICE for reading and writing fails with EACCES.
denied() {
    local err
    err=$(as_nobody "$1" bash -c "exec 3<>$2" 2>&1) && return 1
    [[ $err == *"Permission denied"* ]] || { echo "$2: $err" >&2; return 1; }
}
# channel_of TEXT: the channel of the last connection logged with TEXT.
channel_of() { grep -F -- "$1" "$T/norvd.err" | sed -nE 's/.*channel ([0-9]+): connected.*/\1/p' | tail -1; }

# An unknown group stops norvd before it makes any device.
st=0
"$NORVD" --group no-such-group >"$T/unknown.out" 2>"$T/unknown.err" || st=$?
[ "$st" = 78 ] || fail "norvd --group no-such-group ended with $st"
check "unknown group: message" logged "$T/unknown.err" "norvd: --group no-such-group: no such group"
check "unknown group: no device made" test -z "$(links)"

# No group norv: root alone.
start_norvd
check "start line names root" logged "$T/norvd.err" ") to group root"
[ "$(node /dev/rtf1)" = "0:0 660" ] || fail "/dev/rtf1 without a group norv: $(node /dev/rtf1)"
check "nobody opened /dev/rtf1 of root alone" denied out /dev/rtf1
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"

# With a group norv, its members.
echo "norv:x:$GID:" >>/etc/group
mv "$T/norvd.err" "$T/first.err"
start_norvd
check "start line names norv" logged "$T/norvd.err" "to group norv"
[ "$(node /dev/rtf1)" = "0:$GID 660" ] || fail "/dev/rtf1: $(node /dev/rtf1), want 0:$GID 660"
check "nobody outside the group opened /dev/rtf1" denied out /dev/rtf1

start_pong
start ping "$NORVPING" 127.0.0.1
answers() { grep -c '^Packet From 127.0.0.1:' "$T/ping.out" 2>/dev/null || true; }
notices() { grep -sc '^Message from: 0, Seq: ' "$T/ping.out" || true; }
at_least() { [ "$($1)" -ge "$2" ]; }
wait_until 60 at_least answers 1 || fail "no answer: $(cat "$T/ping.out" "$T/ping.err")"
roots=($(sed -nE 's/.*channel ([0-9]+): connected.*/\1/p' "$T/norvd.err"))
[ "${#roots[@]}" = 2 ] || fail "NORVpong and NORVping: $(cat "$T/norvd.err")"
for n in "${roots[@]}"; do check "root's channel $n" devices "$n" "0:$GID 600"; done

start nobody as_nobody in "$PROBE" hold
wait_until 10 logged "$T/nobody.out" connected || fail "nobody in the group did not connect: $(cat "$T/nobody.err")"
mine=$(channel_of "for uid $NOBODY only (0600)")
[ -n "$mine" ] || fail "nobody's connection: $(cat "$T/norvd.err")"
check "nobody's channel $mine" devices "$mine" "$NOBODY:$GID 600"

# nobody tries root's devices over and over, while NORVping must go on
# getting answers and verdicts.
tries() {
    while :; do
        for n in "${roots[@]}"; do
            for d in $n $((n + 3)); do
                if denied in /dev/rtf$d 2>>"$T/tries.err"; then echo denied; else echo opened; fi
            done
        done
    done
}
a0=$(answers); t0=$(notices)
start tries tries
wait_until 120 at_least answers $((a0 + 3)) || fail "NORVping's answers stopped while nobody tried"
wait_until 120 at_least notices $((t0 + 3)) || fail "NORVping's verdicts stopped while nobody tried"
stop "$tries_pid" KILL
grep -c denied "$T/tries.out" >"$T/denied" || fail "nobody's tries never ran: $(cat "$T/tries.err")"
check "nobody opened a device of root's: $(head -3 "$T/tries.err")" sh -c "! grep -q opened '$T/tries.out'"

# nobody keeps /dev/rtf1 open: root's next connection cannot be told from
# nobody's, so it is group-only, and nobody's own stays nobody's.
start holder as_nobody in bash -c 'exec 3<>/dev/rtf1; exec sleep 1000'
wait_until 10 sh -c "ls -l /proc/$holder_pid/fd 2>/dev/null | grep -q ' $(readlink /dev/rtf1)\$'" ||
    fail "nobody did not open /dev/rtf1: $(cat "$T/holder.err")"
start held "$PROBE" hold
wait_until 10 logged "$T/held.out" connected || fail "root did not connect: $(cat "$T/held.err")"
held=$(channel_of "for group norv (0660): /dev/rtf1 is held by processes of several users (uids 0, $NOBODY)")
[ -n "$held" ] || fail "root's connection beside nobody's holder: $(tail -2 "$T/norvd.err")"
check "root's channel $held beside nobody's holder" devices "$held" "0:$GID 660"
check "nobody's channel $mine afterwards" devices "$mine" "$NOBODY:$GID 600"

stop "$holder_pid" KILL

# nobody's share. Its registrations have a deadline an hour away: none is
# judged, and none gives its place back, while the test runs.
# nobody_connections: how many connections norvd counts as nobody's.
nobody_connections() { "$NORVCTL" connections | grep -cE "^ +[0-9]+ +uid $NOBODY " || true; }
nobody_has() { [ "$(nobody_connections)" = "$1" ]; }
start share as_nobody in "$PROBE" pending 1024 3600
wait_until 120 logged "$T/share.out" "registered 1024" || fail "nobody's registrations: $(cat "$T/share.out" "$T/share.err")"
# With its first connection and this one, 14 more make its 16.
holds=()
for i in $(seq 14); do
    start "hold$i" as_nobody in "$PROBE" hold
    wait_until 30 logged "$T/hold$i.out" connected || fail "nobody's connection $((i + 2)): $(cat "$T/hold$i.err")"
    pid=hold${i}_pid
    holds+=("${!pid}")
done
nobody_has 16 || fail "nobody's connections: $("$NORVCTL" connections)"
start over as_nobody in "$PROBE" hold
wait_until 60 grep -sq . "$T/over.out" "$T/over.err" || fail "nobody's 17th connection had no answer"
stop "$over_pid" KILL
check "nobody's 17th connection refused with -12: $(cat "$T/over.out" "$T/over.err")" logged "$T/over.err" "openNORVConnection: -12"
check "the refusal of nobody's connection logged: $(grep refused "$T/norvd.err")" \
    logged "$T/norvd.err" "<4>norvd: connection refused: uid $NOBODY holds 16 connections, its share of the 64"
nobody_has 16 || fail "nobody's connections after the refusal: $("$NORVCTL" connections)"
live=$("$NORVCTL" connections | grep -cE '^ +[0-9]+ +(uid [0-9]+|the group) ')
[ "$(links | wc -w)" = $((2 * live + 1)) ] || fail "the refused connection left devices: $(links), $live connections"

# One connection of nobody's closed, another one registers once more than
# its share. A second after the last refusal, so that this one has a line of
# its own (one line a second of refusals over a share).
stop "${holds[0]}" KILL
wait_until 60 nobody_has 15 || fail "nobody's closed connection was not reclaimed: $("$NORVCTL" connections)"
sleep 1
start again as_nobody in "$PROBE" pending 1 3600
wait_until 60 grep -sq . "$T/again.out" || fail "nobody's registration beyond its share: $(cat "$T/again.err")"
check "nobody's registration beyond its share refused with -12: $(cat "$T/again.out")" \
    logged "$T/again.out" "registration 1 refused: -12"
check "the refusal of nobody's registration logged: $(grep refused "$T/norvd.err")" \
    logged "$T/norvd.err" "registration refused (-12): uid $NOBODY holds 1024 pending registrations, its share of the 4096"
stop "$again_pid"

# Root's new NORVping meanwhile: answers and verdicts.
start ping2 "$NORVPING" 127.0.0.1
answers2() { grep -c '^Packet From 127.0.0.1:' "$T/ping2.out" 2>/dev/null || true; }
notices2() { grep -sc '^Message from: 0, Seq: ' "$T/ping2.out" || true; }
wait_until 120 at_least answers2 3 || fail "root's NORVping beside nobody's shares: no answers: $(cat "$T/ping2.err")"
wait_until 120 at_least notices2 3 || fail "root's NORVping beside nobody's shares: no verdicts: $(cat "$T/ping2.err")"
stop "$ping2_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "root's second NORVping ended with $STOPPED_STATUS"
check "no error of root's second NORVping" test ! -s "$T/ping2.err"
stop "$share_pid" KILL
for pid in "${holds[@]:1}"; do stop "$pid" KILL; done

stop "$ping_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "NORVping ended with $STOPPED_STATUS"
check "no error of NORVping" test ! -s "$T/ping.err"
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
pass "$(cat "$T/denied") opens of root's devices by nobody refused; $(($(answers) - a0)) answers and $(($(notices) - t0)) verdicts meanwhile; nobody held 16 connections and 1024 registrations, refused beyond them, while root's second NORVping got $(answers2) answers and $(notices2) verdicts"
