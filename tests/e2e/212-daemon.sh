# norvd as a daemon: its command line (--version, --help, an unknown option),
# its configuration file (a bad line or a missing -f file stops it with the
# file and line named; so do a file or folder that others may write, a file
# of another user, a NUL byte, and a peer at a broadcast address or at
# norvd's own), readiness on $NOTIFY_SOCKET (READY=1 only once /dev/rtf1
# exists, RELOADING=1 and READY=1 around a reload, STOPPING=1), SIGHUP and
# `norvctl reload` re-reading the file's peers (norvctl shows the new ones, a
# bad file keeps the running ones and fails `norvctl reload` with the reason,
# the command line's peers stay), a peer name that
# resolves only after norvd started, retried with back-off while /dev/rtf1
# serves, and names that resolve to IPv6 addresses only or to norvd's own
# address, refused as errors; --realtime-priority puts the loop thread alone
# at SCHED_FIFO with memory locked, or says what norvd lacks.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$NORVCTL"; have "$PROBE"; have "$NORVPONG"
command -v python3 >/dev/null || skip "python3 is not installed"
isolate
# The files written here are root's and others cannot write them, as norvd
# asks of its configuration file.
umask 022

# ---- Command line ----
"$NORVD" --version >"$T/version.out" 2>&1 || fail "--version ended with $?"
grep -qx 'norvd [0-9]*\.[0-9]*' "$T/version.out" || fail "--version: $(cat "$T/version.out")"
"$NORVD" --help >"$T/help.out" 2>"$T/help.err" || fail "--help ended with $?"
grep -q '^usage: norvd' "$T/help.out" && [ ! -s "$T/help.err" ] || fail "--help: $(cat "$T/help.out" "$T/help.err")"
st=0; "$NORVD" --frobnicate >"$T/unknown.out" 2>"$T/unknown.err" || st=$?
[ "$st" = 78 ] || fail "an unknown option ended with $st"
logged "$T/unknown.err" "unknown argument '--frobnicate'" && logged "$T/unknown.err" "usage: norvd" &&
    [ ! -s "$T/unknown.out" ] || fail "unknown option: $(cat "$T/unknown.err")"

# ---- A bad configuration file stops norvd before it serves ----
printf '# a group of two\nid 0\ncolour blue\n' >"$T/bad.conf"
st=0; "$NORVD" -f "$T/bad.conf" 2>"$T/bad.err" || st=$?
# 78: a restart cannot mend it (RestartPreventExitStatus= in the unit).
[ "$st" = 78 ] || fail "a bad file: status $st"
logged "$T/bad.err" "norvd: $T/bad.conf:3: unknown setting 'colour'" || fail "bad file: $(cat "$T/bad.err")"
st=0; "$NORVD" --config "$T/none.conf" 2>"$T/none.err" || st=$?
[ "$st" = 78 ] && logged "$T/none.err" "open $T/none.conf failed: No such file or directory" ||
    fail "a missing -f file: status $st, $(cat "$T/none.err")"
# Settings norvd must not obey: the file (or its folder) others may write or
# own, a NUL byte, a peer that is no other machine's norvd. Rows: name,
# arguments, the error logged.
mkdir "$T/open" && chmod 775 "$T/open" && printf 'id 0\n' >"$T/open/norvd.conf"
printf 'id 0\n' >"$T/group-writable.conf" && chmod 664 "$T/group-writable.conf"
printf 'id 0\n' >"$T/nobody.conf" && chown nobody "$T/nobody.conf"
printf 'id 1\0junk\n' >"$T/nul.conf"
printf 'id 0\npeer 1 255.255.255.255\n' >"$T/broadcast.conf"
while IFS='|' read -r name args message; do
    st=0
    # shellcheck disable=SC2086
    "$NORVD" $args 2>"$T/refused.err" || st=$?
    [ "$st" = 78 ] && logged "$T/refused.err" "<3>norvd: $message" ||
        fail "$name: status $st, $(cat "$T/refused.err")"
done <<ROWS
folder others may write|-f $T/open/norvd.conf|$T/open, the directory of $T/open/norvd.conf, is writable by group or others (mode 0775): run chmod go-w $T/open
file the group may write|-f $T/group-writable.conf|$T/group-writable.conf is writable by group or others (mode 0664): run chmod go-w $T/group-writable.conf
file of nobody|-f $T/nobody.conf|$T/nobody.conf belongs to uid $(id -u nobody), not root: run chown root $T/nobody.conf
NUL byte|-f $T/nul.conf|$T/nul.conf:1: a NUL byte
broadcast peer in the file|-f $T/broadcast.conf|$T/broadcast.conf: peer 1 at 255.255.255.255: the broadcast address
broadcast peer|--peer 1=255.255.255.255|peer 1 at 255.255.255.255: the broadcast address
peer at the bind address|--bind 127.0.0.1 --peer 1=127.0.0.1|peer 1 at 127.0.0.1: norvd's own address (bind)
local peer, no bind address|--peer 1=127.0.0.2|peer 1 at 127.0.0.2: a loopback address of this machine
broadcast bind address|--bind 255.255.255.255|bind 255.255.255.255: the broadcast address
ROWS
[ -z "$(links)" ] || fail "links after the failed starts: $(links)"

# ---- Readiness and reload ----
# The manager's socket, an abstract one: each datagram is logged with whether
# /dev/rtf1 existed when it arrived.
cat >"$T/listen.py" <<'PY'
import os, socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("\0" + sys.argv[1])
print("listening", flush=True)
while True:
    data = s.recv(4096).decode()
    link = "link" if os.path.islink("/dev/rtf1") else "no-link"
    print(data.replace("\n", " ") + " " + link, flush=True)
PY
start notify python3 "$T/listen.py" norv-notify-212
wait_until 10 logged "$T/notify.out" listening || fail "the listener did not start: $(cat "$T/notify.err")"
count() { grep -c -- "$1" "$T/notify.out"; }

# The first file is the example that is installed, with a peer added.
src=$(cd "$(dirname "$0")/../.." && pwd)
{ cat "$src/dist/norvd.conf"; echo 'peer 1 127.0.0.2'; } >"$T/norvd.conf"
# Bound to 127.0.0.1, norvd takes the other loopback addresses as peers.
start norvd env NOTIFY_SOCKET=@norv-notify-212 "$NORVD" -f "$T/norvd.conf" --bind 127.0.0.1
wait_until 60 logged "$T/notify.out" "READY=1" || fail "no READY=1: $(cat "$T/norvd.err")"
grep -qx 'READY=1 link' "$T/notify.out" || fail "READY=1 before /dev/rtf1: $(cat "$T/notify.out")"
logged "$T/norvd.err" "machine 0, machine 1 at 127.0.0.2;" || fail "start: $(cat "$T/norvd.err")"

# reload WHAT TEXT [ctl]: SIGHUP (or with ctl, `norvctl reload`: its status in
# ctl_status, its output in $T/ctl.out and $T/ctl.err), then the log says
# TEXT and the manager has heard RELOADING=1 and READY=1 once more.
reload() {
    local ready
    ready=$(count READY=1)
    if [ "${3:-}" = ctl ]; then
        ctl_status=0
        "$NORVCTL" reload >"$T/ctl.out" 2>"$T/ctl.err" || ctl_status=$?
    else
        kill -HUP "$norvd_pid"
    fi
    wait_until 20 logged "$T/norvd.err" "$2" || fail "$1: no '$2': $(cat "$T/norvd.err")"
    # The count is taken again at each try: the listener may print READY=1
    # after norvd has logged the reload.
    wait_until 20 sh -c '[ "$(grep -c READY=1 "$1")" -gt "$2" ]' sh "$T/notify.out" "$ready" ||
        fail "$1: no READY=1: $(cat "$T/notify.out")"
    grep -q "^RELOADING=1 MONOTONIC_USEC=[0-9]* link$" "$T/notify.out" || fail "$1: $(cat "$T/notify.out")"
    kill -0 "$norvd_pid" && [ -L /dev/rtf1 ] || fail "$1: norvd stopped: $(cat "$T/norvd.err")"
}
printf 'id 0\npeer 1 127.0.0.3\n' >"$T/norvd.conf"
reload "new host" "reload: peers now machine 1 at 127.0.0.3"
# The peers norvd runs with are the file's now, not those it started with:
# norvctl shows them, and the next reload of the same peers changes nothing.
"$NORVCTL" --json peers >"$T/peers.json" || fail "norvctl peers after the reload"
grep -q '"machine":1,"host":"127.0.0.3","address":"127.0.0.3:16007"' "$T/peers.json" ||
    fail "norvctl peers after the reload: $(cat "$T/peers.json")"
# The same over the control socket: norvctl answers once norvd has read the
# file, with the reason when the file is refused.
printf 'id 0\npeer 1 127.0.0.6\n' >"$T/norvd.conf"
reload "good file, norvctl" "reload: peers now machine 1 at 127.0.0.6" ctl
[ "$ctl_status" = 0 ] && [ ! -s "$T/ctl.out" ] && [ ! -s "$T/ctl.err" ] ||
    fail "norvctl reload of a good file: status $ctl_status, $(cat "$T/ctl.out" "$T/ctl.err")"
printf 'id 0\ncolour blue\npeer 1 127.0.0.7\n' >"$T/norvd.conf"
reload "bad file, norvctl" "reload: $T/norvd.conf:2: unknown setting 'colour'; the running settings are kept" ctl
[ "$ctl_status" = 1 ] && [ ! -s "$T/ctl.out" ] &&
    [ "$(cat "$T/ctl.err")" = "norvctl: reload: $T/norvd.conf:2: unknown setting 'colour'; the running settings are kept" ] ||
    fail "norvctl reload of a bad file: status $ctl_status, $(cat "$T/ctl.out" "$T/ctl.err")"
printf 'id 0\npeer 1 127.0.0.3\n' >"$T/norvd.conf"
reload "back to the first host" "reload: peers now machine 1 at 127.0.0.3"
printf 'id 0\npeer 1 127.0.0.4\nbogus\n' >"$T/norvd.conf"
reload "bad file" "reload: $T/norvd.conf:3: unknown setting 'bogus'; the running settings are kept"
printf 'id 2\npeer 1 127.0.0.3\n' >"$T/norvd.conf"
reload "new id" "reload: changed settings take effect at a restart only: id"
logged "$T/norvd.err" "reload: the peers are unchanged" || fail "the same peers again: $(cat "$T/norvd.err")"
printf 'id 0\npeer 1 127.0.0.3\npeer 3 127.0.0.5\n' >"$T/norvd.conf"
reload "new machine" "the machines of the group change at a restart only; the peers stay"
printf 'id 0\npeer 1 127.0.0.1\n' >"$T/norvd.conf"
reload "own address" "reload: $T/norvd.conf: peer 1 at 127.0.0.1: norvd's own address (bind): its messages would come back to it; the running settings are kept"
printf 'id 0\npeer 1 127.0.0.4\n' >"$T/norvd.conf"
chmod g+w "$T/norvd.conf"
reload "writable file" "reload: $T/norvd.conf is writable by group or others (mode 0664): run chmod go-w $T/norvd.conf; the running settings are kept"
"$PROBE" cycles 3 >"$T/probe1.out" || fail "no connection after the reloads: $(cat "$T/norvd.err")"

stop "$norvd_pid" TERM
[ "$STOPPED_STATUS" = 0 ] || fail "SIGTERM: status $STOPPED_STATUS"
# Sent as norvd begins to stop: the listener may take it after the links went.
wait_until 10 grep -q '^STOPPING=1 ' "$T/notify.out" || fail "no STOPPING=1: $(cat "$T/notify.out")"

# ---- A peer's name that resolves late ----
# The name is missing from this namespace's /etc/hosts at start; norvd serves
# all the same, tries again after 1 s, 2 s, 4 s, ..., and takes the address
# once the name is there. Two other names are mistakes, told as errors and
# tried again a minute later: one has an IPv6 address only, the other is
# norvd's own address.
cp /etc/hosts "$T/hosts"
printf 'fd00::9 norv-v6-peer\n127.0.0.1 norv-self-peer\n' >>"$T/hosts"
mount --bind "$T/hosts" /etc/hosts || fail "cannot bind a private /etc/hosts"
mv "$T/norvd.err" "$T/norvd-1.err"
start_norvd --bind 127.0.0.1 --peer 1=norv-late-peer --peer 2=norv-v6-peer --peer 3=norv-self-peer
wait_until 20 logged "$T/norvd.err" "<3>norvd: machine 2 at norv-v6-peer: not resolved (no IPv4 address for norv-v6-peer: it has IPv6 addresses only" ||
    fail "an IPv6-only name: $(cat "$T/norvd.err")"
wait_until 20 logged "$T/norvd.err" "<3>norvd: machine 3 at norv-self-peer: resolves to 127.0.0.1, norvd's own address (bind): its messages would come back to it; the address is not used" ||
    fail "a name of norvd's own address: $(cat "$T/norvd.err")"
for m in 2 3; do
    grep "machine $m at " "$T/norvd.err" | grep -q "attempt 1; next attempt in 60 s" ||
        fail "machine $m: not tried again a minute later: $(cat "$T/norvd.err")"
done
wait_until 20 logged "$T/norvd.err" "machine 1 at norv-late-peer: not resolved" ||
    fail "no failed resolution: $(cat "$T/norvd.err")"
logged "$T/norvd.err" "attempt 1; next attempt in 1 s" || fail "back-off: $(cat "$T/norvd.err")"
"$PROBE" cycles 3 >"$T/probe2.out" || fail "no connection while a peer is unresolved: $(cat "$T/norvd.err")"
wait_until 20 logged "$T/norvd.err" "attempt 2; next attempt in 2 s" || fail "no second attempt: $(cat "$T/norvd.err")"
echo "127.0.0.9 norv-late-peer" >>"$T/hosts"
wait_until 30 logged "$T/norvd.err" "machine 1 at norv-late-peer: resolved to 127.0.0.9" ||
    fail "the name did not resolve: $(cat "$T/norvd.err")"
kill -HUP "$norvd_pid"
wait_until 20 logged "$T/norvd.err" "reload: the peers were given on the command line: they stay" ||
    fail "reload with the command line's peers: $(cat "$T/norvd.err")"
# Without -f and without the default file, the reload says so.
[ -e /etc/norv/norvd.conf ] ||
    logged "$T/norvd.err" "reload: there is no configuration file /etc/norv/norvd.conf: the settings are those of the command line" ||
    fail "reload without a file: $(cat "$T/norvd.err")"
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "SIGINT: status $STOPPED_STATUS"
[ -z "$(links)" ] || fail "links left: $(links)"
attempts=$(grep -c 'not resolved' "$T/norvd.err")

# ---- Real-time priority: the loop thread alone, memory locked ----
# A sanitizer's shadow memory (terabytes reserved) cannot be locked.
if grep -qa -e __asan_init -e __tsan_init "$NORVD"; then
    rt="real-time priority not tried under a sanitizer"
else
    mv "$T/norvd.err" "$T/norvd-2.err"
    start_norvd --realtime-priority 20
    logged "$T/norvd.err" "the loop runs at SCHED_FIFO priority 20, its memory locked" ||
        fail "real-time: $(cat "$T/norvd.err")"
    # Fields 40 and 41 of a task's stat (after the name): rt_priority, policy.
    policy() { sed 's/.*) //' "$1" | awk '{ print $38 "/" $39 }'; }
    [ "$(policy "/proc/$norvd_pid/task/$norvd_pid/stat")" = 20/1 ] ||
        fail "the loop thread: $(policy "/proc/$norvd_pid/task/$norvd_pid/stat"), not SCHED_FIFO 20"
    others=0
    for task in /proc/"$norvd_pid"/task/*; do
        [ "${task##*/}" = "$norvd_pid" ] && continue
        [ "$(policy "$task/stat")" = 0/0 ] || fail "thread ${task##*/}: $(policy "$task/stat"), not ordinary"
        others=$((others + 1))
    done
    [ "$others" -ge 1 ] || fail "no worker thread to look at"
    # On ptys the guard keeper is a child process; on FUSE norvd has none.
    if [ "$GUARDS0" -gt 0 ]; then
        keeper=$(ps -o pid= --ppid "$norvd_pid" | head -1 | tr -d ' ')
        [ -n "$keeper" ] && [ "$(policy "/proc/$keeper/stat")" = 0/0 ] || fail "the guard keeper: $(policy "/proc/$keeper/stat")"
    else
        [ -z "$(ps -o pid= --ppid "$norvd_pid")" ] || fail "a child process on FUSE: $(ps -o pid=,comm= --ppid "$norvd_pid")"
    fi
    locked=$(awk '/^VmLck:/ { print $2 }' "/proc/$norvd_pid/status")
    [ "${locked:-0}" -gt 0 ] || fail "no memory locked"
    "$PROBE" cycles 3 >"$T/probe-rt.out" || fail "no connection at real-time priority: $(cat "$T/norvd.err")"
    start pong "$NORVPONG" --realtime-priority 15
    wait_until 10 logged "$T/pong.out" "answering pings" || fail "NORVpong at real-time priority: $(cat "$T/pong.err")"
    logged "$T/pong.out" "NORVpong: at SCHED_FIFO priority 15, memory locked" || fail "NORVpong: $(cat "$T/pong.out")"
    [ "$(policy "/proc/$pong_pid/stat")" = 15/1 ] || fail "NORVpong: $(policy "/proc/$pong_pid/stat"), not SCHED_FIFO 15"
    stop "$pong_pid"
    stop "$norvd_pid"
    [ "$STOPPED_STATUS" = 0 ] || fail "real-time: status $STOPPED_STATUS"
    # Without the capabilities, with limits of 0, norvd says what it lacks.
    while IFS='|' read -r name drop limit message; do
        st=0
        (ulimit -r 0 && { [ "$limit" = - ] || ulimit -l "$limit"; } && exec setpriv --inh-caps="$drop" --bounding-set="$drop" -- \
            "$NORVD" --realtime-priority 20) 2>"$T/rt-refused.err" || st=$?
        [ "$st" = 78 ] && logged "$T/rt-refused.err" "<3>norvd: real-time priority 20: $message" ||
            fail "$name: status $st, $(cat "$T/rt-refused.err")"
    done <<ROWS
no CAP_SYS_NICE|-sys_nice|-|sched_setscheduler failed: Operation not permitted (needs CAP_SYS_NICE, or a real-time priority limit of at least 20
no CAP_IPC_LOCK|-ipc_lock|64|mlockall failed
ROWS
    [ -z "$(links)" ] || fail "links left after a refused start: $(links)"
    rt="the loop at SCHED_FIFO 20 with $others other thread(s) (and the keeper, on ptys) at ordinary priority, $locked kB locked"
fi
pass "configuration errors named, READY=1 after /dev/rtf1, 9 reloads, a late name resolved: $attempts failed attempts; $rt"
