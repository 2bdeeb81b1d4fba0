# service_common.sh: helpers of norvd's end-to-end tests, on top of common.sh.

PROBE=$NORV_BIN/tests/service/norv_probe

# start_norvd [ARGS...]: starts norvd (log in $T/norvd.err) and waits for /dev/rtf1.
start_norvd() {
    start norvd "$NORVD" "$@"
    wait_until 60 test -L /dev/rtf1 || fail "norvd did not create /dev/rtf1: $(cat "$T/norvd.err")"
}

# logged FILE TEXT: FILE holds a line with TEXT.
logged() { grep -qF -- "$2" "$1"; }

# links: the /dev/rtf* links that exist now, on one line.
links() { (cd /dev && ls -d rtf* 2>/dev/null | sort | tr '\n' ' '); }

# fds PID: how many descriptors PID holds.
fds() { ls "/proc/$1/fd" | wc -l; }

# children PID: how many processes PID has started and not yet reaped (its guards).
children() { ps -o pid= --ppid "$1" | wc -l; }

