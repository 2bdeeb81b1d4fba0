#!/bin/bash
# The command lines of NORVpong, netsim and norvctl, one row each: --version and --help
# answer on standard output with status 0; a wrong command line names what is
# wrong (an unknown option by its own name) on standard error, with the usage,
# and exits with the program's usage status. No root needed: each row stops
# before any device or network is touched. norvctl takes its options after
# the command too, as GNU tools do.
. "$(dirname "$0")/common.sh"
. "$(dirname "$0")/group_common.sh"  # NETSIM
have "$NORVPONG"; have "$NETSIM"; have "$NORVCTL"
version=$(sed -nE 's/^#define NORV_VERSION_(MAJOR|MINOR) +([0-9]+)$/\2/p' \
    "$(dirname "$0")/../../include/norv.h" | paste -sd.)
[ -n "$version" ] || fail "no version in include/norv.h"

# program | arguments | status | standard output, first line | standard error, first line
rows=(
    "$NORVPONG|--version|0|NORVpong $version|"
    "$NORVPONG|--help|0|usage: NORVpong [--bind ADDR] [--json] [--quiet] [--realtime-priority N]|"
    "$NORVPONG|-h|0|usage: NORVpong [--bind ADDR] [--json] [--quiet] [--realtime-priority N]|"
    "$NORVPONG|--frobnicate|1||NORVpong: unknown option '--frobnicate'"
    "$NORVPONG|--json --frob=1|1||NORVpong: unknown option '--frob=1'"
    "$NORVPONG|-x|1||NORVpong: unknown option '-x'"
    "$NORVPONG|--bind|1||NORVpong: --bind needs a value"
    "$NORVPONG|--json=yes|1||NORVpong: --json=yes takes no value"
    "$NORVPONG|--quiet extra|1||NORVpong: unexpected argument 'extra'"
    "$NORVPONG|--realtime-priority 100|1||NORVpong: --realtime-priority needs a priority from 1 to 99"
    "$NORVPONG|--realtime-priority|1||NORVpong: --realtime-priority needs a value"
    "$NETSIM|--version|0|netsim $version|"
    "$NETSIM|--help|0|usage: netsim --machines N [--subnet A.B.C.0] [--tun-prefix P] [--seed S]|"
    "$NETSIM|--machines 3 --frobnicate|2||netsim: unknown option '--frobnicate'"
    "$NETSIM|-q|2||netsim: unknown option '-q'"
    "$NETSIM||2||netsim: --machines is needed"
    "$NETSIM|--machines 1|2||netsim: --machines needs a number from 2 to 254"
    "$NETSIM|--machines 3x|2||netsim: --machines needs a number from 2 to 254"
    "$NETSIM|--machines 3 --link|2||netsim: --link needs a value"
    "$NETSIM|--machines 3 --subnet 10.77|2||netsim: --subnet needs an IPv4 address"
    "$NETSIM|--machines 3 stray|2||netsim: unexpected argument 'stray'"
    "$NORVCTL|--version|0|norvctl $version|"
    "$NORVCTL|status --frobnicate|1||norvctl: unknown option '--frobnicate'"
    "$NORVCTL|verdicts --json -s|1||norvctl: -s needs a value"
    "$NORVCTL|status -- --json|1||norvctl: one command at a time, not '--json' too"
)
for row in "${rows[@]}"; do
    IFS='|' read -r prog args want_status want_out want_err <<<"$row"
    name="$(basename "$prog") $args"
    st=0
    # shellcheck disable=SC2086
    timeout 10 "$prog" $args >"$T/out" 2>"$T/err" </dev/null || st=$?
    [ "$st" = "$want_status" ] || fail "[$name] exit status $st, want $want_status: $(cat "$T/err")"
    [ "$(head -n 1 "$T/out")" = "$want_out" ] ||
        fail "[$name] standard output starts '$(head -n 1 "$T/out")', want '$want_out'"
    [ "$(head -n 1 "$T/err")" = "$want_err" ] ||
        fail "[$name] standard error starts '$(head -n 1 "$T/err")', want '$want_err'"
    if [ "$want_status" = 0 ]; then
        [ "$args" = --version ] && { [ "$(wc -l <"$T/out")" = 1 ] || fail "[$name] more than the version"; }
    else
        grep -q '^usage: ' "$T/err" || fail "[$name] no usage on standard error"
        [ ! -s "$T/out" ] || fail "[$name] wrote on standard output: $(cat "$T/out")"
    fi
done
pass "${#rows[@]} command lines of NORVpong, netsim and norvctl: versions, help, and every wrong one named"
