#!/bin/bash
# NORVping with a command line in neither accepted form prints the banner and
# the usage text and exits with status 1. No root needed: it stops before any
# device is opened.
. "$(dirname "$0")/client_common.sh"
have "$NORVPING"

long=$(printf 'A%.0s' $(seq 3000))
cases=(
    ""
    "-B 127.0.0.1"
    "--b 127.0.0.1"
    "127.0.0.1 127.0.0.2"
    "-b 127.0.0.1 extra"
    "a b c d"
    "$long"
    "-b $long"
)
for c in "${cases[@]}"; do
    st=0
    "$NORVPING" $c >"$T/out" 2>"$T/err" || st=$?
    [ "$st" = 1 ] || fail "[${c:0:40}] exit status $st, want 1"
    expect_file "$T/out" "$BANNER$USAGE"
    expect_file "$T/err" ""
done

# An empty argument is an address text, not a missing one: the count decides.
st=0
"$NORVPING" "" "" "" >"$T/out" 2>"$T/err" || st=$?
[ "$st" = 1 ] || fail "three empty arguments: exit status $st, want 1"
expect_file "$T/out" "$BANNER$USAGE"

pass "usage text and status 1 for every malformed command line"
