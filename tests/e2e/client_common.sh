# client_common.sh: helpers of the ping client's end-to-end tests, on top of
# common.sh. The tests drive the real NORVping against fake_norv, a scripted
# service and ping answerer that runs inside the test's private namespaces.

. "$(dirname "${BASH_SOURCE[0]}")/common.sh"

FAKE=$NORV_BIN/tests/client/fake_norv
LOG=$T/fake.log
CTL=$T/ctl

BANNER=$'\n----------------------------------------------------------\nDistributed failure detection service - client aplication\n----------------------------------------------------------\n\n'
USAGE=$'\n  use: NORVping [host_ip_adress|-b broadcast_ip]\n\n'
STOPPED=$'\nNORVPing stopped by user\n\n'

# start_fake ARGS...: starts the fake service and waits until its devices exist.
start_fake() {
    have "$FAKE"
    rm -f "$T/ready" "$LOG"
    start fake "$FAKE" --log "$LOG" --control "$CTL" --ready "$T/ready" "$@"
    wait_until 10 test -e "$T/ready" || fail "the fake service did not start: $(cat "$T/fake.err")"
}

# stop_fake: ends the fake service.
stop_fake() { kill "$fake_pid" 2>/dev/null; wait "$fake_pid" 2>/dev/null; }

# start_ping ARGS...: starts NORVping with SIGINT at its default action (a
# background job of a script would otherwise inherit it ignored).
start_ping() {
    start ping env --default-signal=INT "$NORVPING" "$@"
}

# control LINE: hands one line to the fake service.
control() { echo "$*" >"$CTL"; }

# log_count REGEX: number of log lines that match.
log_count() { grep -cE -- "$1" "$LOG" 2>/dev/null || true; }
# log_has REGEX: true when some log line matches.
log_has() { grep -qE -- "$1" "$LOG" 2>/dev/null; }
# log_at_least N REGEX
log_at_least() { [ "$(log_count "$2")" -ge "$1" ]; }

# commands: the command numbers of all logged requests, one line.
commands() { grep -oE '^req dev=[^ ]+ cmd=[0-9-]+' "$LOG" | sed 's/.*cmd=//' | tr '\n' ' '; }

# field LINE NAME: the value of NAME=... in a log line.
field() { sed -nE "s/.*[ ^]$2=([^ ]*).*/\1/p" <<<" $1"; }

# bytes HEX OFFSET LENGTH: the hex of LENGTH bytes at byte OFFSET.
bytes() { echo "${1:$(($2 * 2)):$(($3 * 2))}"; }

# le N WIDTH: N as WIDTH little-endian bytes in hex (N below 2^63).
le() {
    local n=$1 w=$2 out="" i
    for ((i = 0; i < w; i++)); do
        out+=$(printf '%02x' $(((n >> (8 * i)) & 255)))
    done
    echo "$out"
}

# le_value HEX: the unsigned value of a little-endian hex field (below 2^63).
le_value() {
    local h=$1 v=0 i
    for ((i = ${#h} - 2; i >= 0; i -= 2)); do v=$((v * 256 + 16#${h:i:2})); done
    echo "$v"
}

# name_field TEXT: TEXT as a 50-byte zero-filled name field in hex.
name_field() {
    local h
    h=$(printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n')
    while [ ${#h} -lt 100 ]; do h+=00; done
    echo "$h"
}

# exited PID: true once the process has ended.
exited() { ! kill -0 "$1" 2>/dev/null; }

# await PID: waits for PID (a child of this shell, so not inside $(...)) and
# leaves its exit status in st.
await() { st=0; wait "$1" 2>/dev/null || st=$?; }

# interrupt PID: sends SIGINT to PID and leaves its exit status in st.
interrupt() { kill -INT "$1" 2>/dev/null; await "$1"; }

# expect_file FILE TEXT: FILE holds exactly TEXT.
expect_file() {
    local want=$2 got
    got=$(cat "$1"; echo x)
    got=${got%x}
    [ "$got" = "$want" ] || fail "$(basename "$1") differs: got [$(printf '%q' "$got")] want [$(printf '%q' "$want")]"
}

# req N CMD: the Nth logged request with command CMD (1-based).
req() { grep -E "^req dev=[^ ]+ cmd=$2 " "$LOG" | sed -n "$1p"; }
# udp N: the Nth datagram logged at 127.0.0.1:16006.
udp() { grep -E '^udp ' "$LOG" | sed -n "$1p"; }

# other_threads_ticks PID: user and system clock ticks of every thread but the main one.
other_threads_ticks() {
    local pid=$1 sum=0 task stat rest
    for task in /proc/"$pid"/task/*; do
        [ "${task##*/}" = "$pid" ] && continue
        stat=$(cat "$task/stat" 2>/dev/null) || continue
        rest=${stat##*) }
        set -- $rest
        sum=$((sum + ${12} + ${13}))
    done
    echo "$sum"
}
