# common.sh: shared helpers of the end-to-end tests. Each test sources it.
#
# Programs are found below $NORV_BIN (the build tree): client/NORVping,
# service/norvd, responder/NORVpong, ctl/norvctl, tools/featgen. A test that needs devices
# or a network calls `isolate` first: it re-runs the script as PID 1 of private
# mount, network and PID namespaces with its own tmpfs /dev and devpts instance
# and its own tmpfs /run (where norvd's control socket goes), so the machine's
# /dev, /run and network are never touched and every process the test started
# dies with it.

SKIP_CODE=77
NORV_BIN=${NORV_BIN:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../../build" 2>/dev/null && pwd)}
NORVPING=$NORV_BIN/client/NORVping
NORVD=$NORV_BIN/service/norvd
NORVPONG=$NORV_BIN/responder/NORVpong
NORVCTL=$NORV_BIN/ctl/norvctl
FEATGEN=$NORV_BIN/tools/featgen

pass() { echo "PASS: $*"; exit 0; }
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit "$SKIP_CODE"; }

# check COND-DESCRIPTION COMMAND...: fails the test unless COMMAND succeeds.
check() {
    local what=$1; shift
    "$@" || fail "$what"
}

# A scratch directory removed when the test ends.
T=$(mktemp -d /tmp/norv-e2e.XXXXXX)
_pids=()
_cleanup() {
    local p
    {
        for p in "${_pids[@]}"; do kill -KILL "$p" && wait "$p"; done
    } 2>/dev/null
    # NORV_E2E_KEEP=DIR keeps the scratch directory (the programs' output) for a look.
    [ -n "${NORV_E2E_KEEP:-}" ] && [ -d "$T" ] && cp -r "$T" "$NORV_E2E_KEEP/$(basename "$0" .sh)"
    rm -rf "$T"
}

# NORV_DEVICE_PATH=fuse runs every norvd of the test with --device-path fuse
# (its devices as files of its own FUSE file system, mounted in the test's
# private /run) instead of pseudo-terminals: $NORVD becomes a script that
# execs it so, keeping its pid.
if [ "${NORV_DEVICE_PATH:-pty}" = fuse ]; then
    printf '#!/bin/sh\nexec %q --device-path fuse "$@"\n' "$NORVD" >"$T/norvd" && chmod 755 "$T/norvd"
    NORVD=$T/norvd
fi
trap _cleanup EXIT

isolate() {
    if [ -z "${NORV_ISOLATED:-}" ]; then
        [ "$(id -u)" = 0 ] || skip "needs root to make private namespaces"
        command -v unshare >/dev/null || skip "unshare is not installed"
        rm -rf "$T"  # the isolated run makes a scratch directory of its own
        NORV_ISOLATED=1 exec unshare --mount --net --pid --fork --propagation private \
            --mount-proc -- bash "$0" "$@"
    fi
    mount -t tmpfs -o mode=755 norv-dev /dev || fail "cannot mount a private /dev"
    mkdir /dev/pts
    mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts /dev/pts || fail "no devpts instance"
    ln -s pts/ptmx /dev/ptmx
    mknod -m 666 /dev/null c 1 3
    mknod -m 666 /dev/zero c 1 5
    mknod -m 666 /dev/urandom c 1 9
    mkdir /dev/net && mknod -m 600 /dev/net/tun c 10 200
    mknod -m 666 /dev/fuse c 10 229
    mount -t tmpfs -o mode=755 norv-run /run || fail "cannot mount a private /run"
    ip link set lo up || fail "cannot bring up loopback"
}

# start NAME COMMAND...: runs COMMAND in the background, output in $T/NAME.out
# and $T/NAME.err; its pid in the variable NAME_pid.
start() {
    local name=$1; shift
    "$@" >"$T/$name.out" 2>"$T/$name.err" &
    local pid=$!
    _pids+=("$pid")
    printf -v "${name}_pid" '%s' "$pid"
}

# wait_until SECONDS COMMAND...: polls COMMAND until it succeeds; fails after SECONDS.
wait_until() {
    local limit=$1; shift
    local deadline=$((SECONDS + limit))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# stop PID [SIGNAL]: signals PID (SIGINT by default) and waits for it; its exit
# status is left in STOPPED_STATUS (not printed: a subshell could not wait for it).
stop() {
    local pid=$1 sig=${2:-INT}
    STOPPED_STATUS=0
    kill -"$sig" "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null || STOPPED_STATUS=$?
}

have() { [ -x "$1" ] || skip "$(basename "$1") is not built"; }

# udp_ports PID: the local ports of the UDP sockets that process PID holds,
# one a line, from the inodes of its descriptors in /proc/net/udp. Found by
# the process, never by elimination: which other programs have sockets, and in
# which order the kernel lists them, is no business of a test.
udp_ports() {
    local inodes hex
    inodes=$(find "/proc/$1/fd" -lname 'socket:*' -printf '%l ' 2>/dev/null | tr -dc '0-9 ')
    [ -n "$inodes" ] || return 0
    for hex in $(awk -v inodes="$inodes" 'BEGIN { n = split(inodes, list, " "); for (i = 1; i <= n; i++) want[list[i]] = 1 }
        NR > 1 && ($10 in want) { split($2, a, ":"); print a[2] }' /proc/net/udp); do
        echo $((16#$hex))
    done
}

# fetch_promtool: sets PROMTOOL to Prometheus' checker of metrics files, or
# PROMTOOL_WHY to why there is none. It is taken once into the build folder
# from Debian's prometheus package, unpacked and not installed (installing it
# would start a server), before the private namespaces (which have no network).
fetch_promtool() {
    local dir=$NORV_BIN/promtool tmp
    PROMTOOL= PROMTOOL_WHY=
    if [ ! -x "$dir/promtool" ] && [ -z "${NORV_ISOLATED:-}" ]; then
        if command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null &&
            tmp=$(mktemp -d "$NORV_BIN/promtool.XXXXXX"); then
            # Another test may unpack it at the same time: the first rename wins.
            (cd "$tmp" && apt-get download prometheus && dpkg-deb -x prometheus_*.deb unpacked &&
                mkdir keep && mv unpacked/usr/bin/promtool keep/ &&
                { mv -T keep "$dir" || [ -x "$dir/promtool" ]; }) >"$NORV_BIN/promtool.log" 2>&1
            rm -rf "$tmp"
        fi
    fi
    if [ -x "$dir/promtool" ]; then
        PROMTOOL=$dir/promtool
    else
        PROMTOOL_WHY="promtool could not be fetched (apt-get download prometheus into $dir; see $NORV_BIN/promtool.log)"
    fi
}

# promtool_check FILE: Prometheus' own checker takes the metrics in FILE
# without a complaint (fetch_promtool first); prints what it did.
promtool_check() {
    local out st=0
    if [ -z "$PROMTOOL" ]; then
        echo "SKIPPED the promtool step: $PROMTOOL_WHY" >&2
        echo "promtool step skipped: $PROMTOOL_WHY"
        return 0
    fi
    out=$("$PROMTOOL" check metrics <"$1" 2>&1) || st=$?
    [ "$st" = 0 ] && [ -z "$out" ] || fail "promtool check metrics (status $st): $out"
    echo "promtool check metrics: no complaint"
}

# prometheus_python: prints a python3 that has the prometheus_client parser
# (Debian's python3-prometheus-client), or fails.
prometheus_python() {
    local py
    for py in /usr/bin/python3 python3; do
        command -v "$py" >/dev/null && "$py" -c 'import prometheus_client' 2>/dev/null && { echo "$py"; return 0; }
    done
    return 1
}
