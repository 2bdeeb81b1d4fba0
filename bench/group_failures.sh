#!/usr/bin/env bash
# group_failures.sh: the share of timing failures that a 3-machine group on
# this host reports, and how late the late ones were.
#
#   sudo bench/group_failures.sh [SECONDS] [BUILD_DIR]
#
# Starts a group of 3 machines with fast links (scripts/group: netsim, norvd
# and NORVpong on each), runs NORVping -b on machine 0 for SECONDS (default
# 300) and counts, over every notice, the verdicts per machine: timely, late
# (with the lateness median and maximum) and lateness unknown; then, where the
# NORVpongs wrote JSON records (a build that has --json), where the time of
# each failure went (bench/where_time_went.py). A figure, not a test: it
# asserts nothing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-300}
export NORV_BIN=${2:-$here/build}
export NORV_GROUP_DIR=${NORV_GROUP_DIR:-/run/norv-group-failures}
[ "$(id -u)" = 0 ] || { echo "needs root (namespaces)" >&2; exit 1; }
group=$here/scripts/group
"$group" down >/dev/null 2>&1 || true
trap '"$group" down >/dev/null 2>&1 || true' EXIT
json=()
if "$NORV_BIN/responder/NORVpong" --help 2>&1 | grep -q -- --json; then
    json=(--pong-args 0 --json --pong-args 1 --json --pong-args 2 --json)
fi
"$group" up 3 "${json[@]}" >/dev/null
sleep 1
out=$(mktemp)
"$group" run 0 timeout --preserve-status -s INT "$seconds" env --default-signal=INT \
    "$NORV_BIN/client/NORVping" -b 10.77.0.255 >"$out" 2>&1 || true
for i in 0 1 2; do "$group" stop "$i" pong; done
awk '
    /^Message from: / { notices++; machine = -1 }
    /^Timely reception on machine / { timely[$5]++; last = "timely"; m = $5 }
    /^Timing failure on the reception \(machine / { m = $7; sub(/\)/, "", m); last = "late" }
    /^lateness degree=/ { split($0, a, "="); if (last == "late") { late[m]++; lat[m, late[m]] = a[2] } }
    /^Lateness degree not available/ { unknown[m]++ }
    END {
        printf "notices %d\n", notices
        for (i = 0; i < 3; i++) {
            n = late[i]; max = 0
            for (k = 1; k <= n; k++) { v[k] = lat[i, k] + 0; if (v[k] > max) max = v[k] }
            # median by insertion sort: n is small
            for (k = 2; k <= n; k++) { x = v[k]; j = k - 1; while (j > 0 && v[j] > x) { v[j + 1] = v[j]; j-- } v[j + 1] = x }
            med = n ? v[int((n + 1) / 2)] : 0
            printf "machine %d: timely %d, late %d (lateness median %d us, max %d us), unknown %d\n",
                i, timely[i], late[i], med, max, unknown[i]
        }
    }' "$out"
# Where the time of each failure went (needs the records of NORVpong --json).
if [ "${WHERE:-1}" = 1 ] && grep -qs '^{' "$NORV_GROUP_DIR/pong-1.log"; then
    python3 "$here/bench/where_time_went.py" "$NORV_GROUP_DIR" 3 "$out" | tail -"${WHERE_LINES:-40}"
fi
rm -f "$out"
