# Clock offsets of seconds and drifts of up to +-5 ppm on the machines'
# services, delay, jitter and asymmetry on the links: every answered ping's
# estimate +- error bound, as NORVpong records it, holds the true delay from
# its start stamp to its receipt stamp (both turned into base time through
# the machines' clock lines), with no ping excepted, and every verdict is
# what really happened (ping_until checks both).
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
isolate

group_up 3 \
    --norvd-args 0 "--clock-offset 3000000000 --clock-drift 5" \
    --norvd-args 1 "--clock-offset -2000000000 --clock-drift -5" \
    --norvd-args 2 "--clock-offset 700000000 --clock-drift 4.5" \
    --link "0>1 delay=3ms jitter=1ms" --link "1>0 delay=500us" \
    --link "0>2 delay=1ms jitter=2ms" --link "2>0 delay=4ms jitter=500us"
# Ten answers with a known error bound from each machine, however long this
# host takes.
bounded() {
    local m
    for m in 1 2; do [ "$(grep -c '"error_ns": [0-9]' "$T/group/pong-$m.log")" -ge 10 ] || return 1; done
}
ping_until 120 bounded 0 -b 10.77.0.255
pass "$(head -1 "$T/truth.out")"
