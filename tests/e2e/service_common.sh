# service_common.sh: helpers of norvd's end-to-end tests, on top of common.sh.

PROBE=$NORV_BIN/tests/service/norv_probe

# What stands behind the links /dev/rtfN (see NORV_DEVICE_PATH in common.sh):
# the folder of the nodes they lead to, and how many processes norvd runs
# with only /dev/rtf1 served (ptys: the guard keeper and the guard of rtf1).
if [ "${NORV_DEVICE_PATH:-pty}" = fuse ]; then
    NODE_DIR=/run/norvd/devices
    GUARDS0=0
else
    NODE_DIR=/dev/pts
    GUARDS0=2
fi

# nodes: how many entries the nodes' folder has now.
nodes() { ls "$NODE_DIR" | wc -l; }

# start_norvd [ARGS...]: starts norvd (log in $T/norvd.err) and waits for /dev/rtf1.
start_norvd() {
    start norvd "$NORVD" "$@"
    wait_until 60 test -L /dev/rtf1 || fail "norvd did not create /dev/rtf1: $(cat "$T/norvd.err")"
}

# logged FILE TEXT: FILE holds a line with TEXT.
logged() { grep -sqF -- "$2" "$1"; }

# links: the /dev/rtf* links that exist now, on one line.
links() { (cd /dev && ls -d rtf* 2>/dev/null | sort | tr '\n' ' '); }

# fds PID: how many descriptors PID holds.
fds() { ls "/proc/$1/fd" | wc -l; }

# children PID: how many processes PID has started, and they in turn, that
# still run (norvd's guard keeper and the guards of its devices).
children() {
    ps -e -o pid=,ppid= | awk -v root="$1" '
        { parent[$1] = $2 }
        END { for (p in parent) { q = parent[p]; while (q != "" && q != root && q > 1) q = parent[q]; if (q == root) n++ } print n + 0 }'
}


# start_pong: starts NORVpong (output in $T/pong.out and $T/pong.err) and waits
# until it answers pings.
start_pong() {
    start pong "$NORVPONG"
    wait_until 10 logged "$T/pong.out" "answering pings" || fail "NORVpong did not start: $(cat "$T/pong.err")"
}

# private_groups: mounts a private copy of /etc/group over the machine's (call
# it after isolate) and sets NOBODY and NOBODY_GROUP (the user nobody's uid
# and gid) and GID, a gid that no group of this machine has, for a group the
# test adds.
private_groups() {
    NOBODY=$(id -u nobody)
    NOBODY_GROUP=$(id -g nobody)
    GID=4711
    while getent group "$GID" >/dev/null; do GID=$((GID + 1)); done
    cp /etc/group "$T/group" && mount --bind "$T/group" /etc/group || fail "cannot mount a private /etc/group"
}

# as_nobody in|out COMMAND...: becomes COMMAND run as nobody, in the group
# GID or not (call it in a subshell).
as_nobody() {
    local groups=--clear-groups
    [ "$1" = in ] && groups=--groups=$GID
    shift
    exec setpriv --reuid="$NOBODY" --regid="$NOBODY_GROUP" "$groups" -- "$@"
}
