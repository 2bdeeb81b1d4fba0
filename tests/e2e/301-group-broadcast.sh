# Broadcast pings from machine 0 to 10.77.0.255 in groups of 3 and of 5
# machines: an answer from every machine, each block with its own sender, and
# per notice a verdict on each machine of the group and on no other.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
isolate

for n in 3 5; do
    group_up "$n"
    ping_for 5 0 -b 10.77.0.255
    for ((i = 1; i <= n; i++)); do
        [ "$(answers_from 10.77.0.$i)" -ge 2 ] || fail "$n machines: $(answers_from 10.77.0.$i) answers from 10.77.0.$i"
    done
    [ "$(grep -c '^Packet From ' "$T/ping.out")" -eq "$(grep -c '^Packet From 10\.77\.0\.[1-5]:$' "$T/ping.out")" ] ||
        fail "$n machines: an answer from outside the group"
    [ "$(notices)" -ge 3 ] || fail "$n machines: only $(notices) notices"
    check_machines_named "$n"
    # A busy machine may miss the 2 ms deadline now and then; the group as a
    # whole must be timely for most pings.
    timely=$(fully_timely "$n")
    [ $((timely * 2)) -ge "$(notices)" ] || fail "$n machines: only $timely of $(notices) notices all timely"
    echo "$n machines: $(notices) notices, $timely all timely; answers: $(grep -c '^Packet From ' "$T/ping.out")"
    group_down
done
pass "broadcast answers and verdicts from groups of 3 and 5"
