#!/usr/bin/env bash
# exported_symbols.sh LIBRARY HEADER: the shared library exports exactly the
# operations that the public header declares with NORV_API. A C++ symbol of
# the library's internals (a mangled _Z... name), anything else the header
# does not offer, or an operation of the header the library lacks fails.
set -euo pipefail
lib=$1 header=$2

exported=$(nm -D --defined-only --format=posix "$lib" | awk '{ print $1 }' | sort -u)
declared=$(sed -n 's/^NORV_API [^(]*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort -u)
[ -n "$declared" ] || { echo "FAIL: no NORV_API declaration found in $header"; exit 1; }

status=0
cxx=$(grep '^_Z' <<<"$exported" || true)
if [ -n "$cxx" ]; then
    echo "FAIL: C++ symbols exported from $(basename "$lib"):"
    c++filt <<<"$cxx" | sed 's/^/  /'
    status=1
fi
extra=$(comm -23 <(echo "$exported") <(echo "$declared") | grep -v '^_Z' || true)
if [ -n "$extra" ]; then
    echo "FAIL: exported but not declared with NORV_API in norv.h:"
    sed 's/^/  /' <<<"$extra"
    status=1
fi
missing=$(comm -13 <(echo "$exported") <(echo "$declared"))
if [ -n "$missing" ]; then
    echo "FAIL: declared in norv.h but not exported:"
    sed 's/^/  /' <<<"$missing"
    status=1
fi
[ "$status" = 0 ] && echo "PASS: $(wc -l <<<"$declared") operations exported, nothing else"
exit "$status"
