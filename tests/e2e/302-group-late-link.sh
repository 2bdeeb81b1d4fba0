# A link that delays pings 5 ms, beyond their 2 ms deadline: that machine's
# verdicts are timing failures with a lateness of at least the excess; the
# other machines' verdicts are reported beside them.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
isolate

# Three of machine 2's verdicts must carry a lateness for the median to mean
# anything; a receipt that comes after the grace period has none.
enough() { [ "$(answers_from 10.77.0.3)" -ge 2 ] && [ "$(verdicts_on 2 known)" -ge 3 ]; }

group_up 3 --link "0>2 delay=5ms"
ping_until 120 enough 0 -b 10.77.0.255
check_machines_named 3
verdicts >"$T/v"
late=$(awk '$2 == 2 && $3 == "failure"' "$T/v" | wc -l)
all=$(verdicts_on 2)
[ "$late" = "$all" ] || fail "machine 2: $late of $all verdicts are timing failures"
# The deadline is 2 ms after the start stamp and the link alone takes 5 ms:
# the lateness is the 3 ms excess plus the time spent at both ends, which
# depends on how busy this host is.
median=$(awk '$2 == 2 && $4 != "na" { print $4 }' "$T/v" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
[ "$median" -ge 3000 ] || fail "machine 2: median lateness $median us, want at least 3000"
timely=$(awk '$2 < 2 && $3 == "timely"' "$T/v" | wc -l)
others=$(awk '$2 < 2' "$T/v" | wc -l)
pass "machine 2 late in all $all pings ($(verdicts_on 2 known) with a lateness, median $median us); machines 0 and 1 timely in $timely of $others"
