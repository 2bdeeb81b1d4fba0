# Clocks drifting by 50 ppm, ten times what the bounds allow for: reports how
# many bounds still hold. The bounds make no promise here, so only the run
# itself (answers, notices, a clean stop) can fail this test.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
isolate

group_up 3 \
    --norvd-args 0 "--clock-drift 50" --norvd-args 1 "--clock-drift -50" \
    --norvd-args 2 "--clock-drift -50" \
    --link "0-1 delay=2ms jitter=1ms" --link "0>2 delay=1ms" --link "2>0 delay=3ms"
enough() { [ "$(answers_from 10.77.0.2)" -ge 5 ] && [ "$(answers_from 10.77.0.3)" -ge 5 ]; }
ping_until 120 enough 0 -b 10.77.0.255
bounds 1 2 >"$T/bounds"
summary=$(bounds_summary 5000 <"$T/bounds")
echo "50 ppm: $summary"
pass "50 ppm drift: $(echo "$summary" | tail -1)"
