# Clocks drifting by 50 ppm, ten times what the bounds allow for: reports how
# many bounds still hold. The bounds make no promise here, so they are only
# reported; the verdicts, judged on the base clock whatever the clients'
# clocks do, must still be true.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
isolate

group_up 3 \
    --norvd-args 0 "--clock-drift 50" --norvd-args 1 "--clock-drift -50" \
    --norvd-args 2 "--clock-drift -50" \
    --link "0-1 delay=2ms jitter=1ms" --link "0>2 delay=1ms" --link "2>0 delay=3ms"
enough() { [ "$(answers_from 10.77.0.2)" -ge 5 ] && [ "$(answers_from 10.77.0.3)" -ge 5 ]; }
TRUTH_BOUNDS=report ping_until 120 enough 0 -b 10.77.0.255
pass "50 ppm drift: $(head -1 "$T/truth.out")"
