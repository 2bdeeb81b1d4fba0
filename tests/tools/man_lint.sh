#!/usr/bin/env bash
# man_lint.sh MANDIR HEADER: every manual page of MANDIR (NAME.S, the section
# S from 1 to 8, as the install rules take them) formats without a single
# warning, by mandoc's lint and by groff's own warnings (those that
# `man --warnings` shows); and libnorv.3 declares every operation that HEADER
# marks NORV_API, with its arguments named and ordered as there, and
# describes each one. Skips when mandoc is not installed.
set -uo pipefail
dir=$1 header=$2
SKIP=77

command -v mandoc >/dev/null ||
    { echo "SKIP: mandoc is not installed (scripts/install-deps mandoc)"; exit "$SKIP"; }
have_groff=0
command -v groff >/dev/null && have_groff=1

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# lint PAGE: prints every warning on PAGE; fails when there is one.
lint() {
    local page=$1 out status=0
    out=$(mandoc -T lint -W warning "$page" 2>&1) || status=1
    [ -z "$out" ] || status=1
    [ -z "$out" ] || printf '%s\n' "$out"
    if [ "$have_groff" = 1 ]; then
        # -t: a page that holds a table says so on its first line, for man.
        out=$(groff -man -t -ww -z -Tutf8 "$page" 2>&1)
        [ -z "$out" ] || { printf 'groff: %s\n' "$out"; status=1; }
    fi
    return "$status"
}

# The linters must see a fault where there is one: a page that uses an
# undefined macro fails both.
printf '.TH CANARY 1 2026-01-01\n.SH NAME\ncanary \\- a page with a fault\n.XX fault\n' \
    >"$scratch/canary.1"
lint "$scratch/canary.1" >"$scratch/canary.out"
for linter in mandoc groff; do
    [ "$linter" = mandoc ] || [ "$have_groff" = 1 ] || continue
    grep -q "^$linter:" "$scratch/canary.out" ||
        { echo "FAIL: $linter finds nothing wrong in a page with an undefined macro"; exit 1; }
done

shopt -s nullglob
pages=("$dir"/*.[1-8])
[ "${#pages[@]}" -gt 0 ] || { echo "FAIL: no manual page in $dir"; exit 1; }
status=0
for page in "${pages[@]}"; do
    lint "$page" >"$scratch/out" || {
        echo "FAIL: $(basename "$page"):"
        sed 's/^/  /' "$scratch/out"
        status=1
    }
done

# libnorv.3 against the header: each prototype as the header writes it
# (whitespace aside) in the SYNOPSIS, no other one there, and an entry of
# its own in the DESCRIPTION.
lib=$dir/libnorv.3
if [ -f "$lib" ]; then
    squeeze() { tr -s ' \t\n' '   ' | sed 's/( /(/g; s/ )/)/g; s/^ //; s/ $//'; }
    declared=$(awk '/^NORV_API /{ p = 1; s = "" } p { s = s " " $0 } p && /;/ { print s; p = 0 }' \
        "$header" | sed 's/ NORV_API / /')
    [ -n "$declared" ] || { echo "FAIL: no NORV_API declaration in $header"; exit 1; }
    synopsis=$(mandoc -T ascii "$lib" | sed 's/.\x08//g' | sed -n '/^SYNOPSIS/,/^DESCRIPTION/p' |
        grep -v '^SYNOPSIS\|^DESCRIPTION\|#include' | squeeze)
    count=0
    while IFS= read -r proto; do
        proto=$(squeeze <<<"$proto")
        name=$(sed 's/^.*[ *]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/' <<<"$proto")
        count=$((count + 1))
        [[ $synopsis == *"$proto"* ]] ||
            { echo "FAIL: libnorv.3: the SYNOPSIS lacks: $proto"; status=1; }
        grep -qx "\.BR $name ()" "$lib" ||
            { echo "FAIL: libnorv.3: no entry \".BR $name ()\" describes $name"; status=1; }
    done <<<"$declared"
    shown=$(tr -cd ';' <<<"$synopsis" | wc -c)
    [ "$shown" = "$count" ] ||
        { echo "FAIL: libnorv.3: $shown prototypes in the SYNOPSIS, $count in $(basename "$header")"; status=1; }
fi

linters=mandoc
[ "$have_groff" = 1 ] && linters="mandoc and groff" || echo "NOTE: groff is not installed: mandoc alone linted"
[ "$status" = 0 ] && echo "PASS: ${#pages[@]} pages without a warning from $linters; libnorv.3 declares ${count:-0} operations as norv.h"
exit "$status"
