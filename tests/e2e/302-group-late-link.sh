# A link that delays pings 5 ms, beyond their 2 ms deadline: that machine's
# verdicts are timing failures with a lateness close to the excess; the other
# machines stay timely.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
isolate

group_up 3 --link "0>2 delay=5ms"
ping_for 5 0 -b 10.77.0.255
[ "$(answers_from 10.77.0.3)" -ge 2 ] || fail "the delayed machine's answers are missing"
check_machines_named 3
verdicts >"$T/v"
late=$(awk '$2 == 2 && $3 == "failure" && $4 != "na"' "$T/v" | wc -l)
all=$(awk '$2 == 2' "$T/v" | wc -l)
[ "$all" -ge 3 ] && [ "$late" = "$all" ] || fail "machine 2: $late of $all verdicts late with a known lateness"
# The deadline is 2 ms after the start stamp and the link alone takes 5 ms:
# the lateness is the 3 ms excess plus the time spent at both ends.
median=$(awk '$2 == 2 { print $4 }' "$T/v" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
[ "$median" -ge 3000 ] && [ "$median" -le 5000 ] || fail "machine 2: median lateness $median us, want about 3000"
timely=$(awk '$2 < 2 && $3 == "timely"' "$T/v" | wc -l)
others=$(awk '$2 < 2' "$T/v" | wc -l)
[ $((timely * 2)) -ge "$others" ] || fail "machines 0 and 1: only $timely of $others verdicts timely"
pass "machine 2 late by a median $median us over $all pings; machines 0 and 1 timely in $timely of $others"
