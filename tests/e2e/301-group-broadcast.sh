# Broadcast pings from machine 0 to 10.77.0.255 in groups of 3 and of 5
# machines: an answer from every machine, each block with its own sender, and
# per notice a verdict on each machine of the group and on no other.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
isolate

# answered_by_all N: every machine of N answered twice and 3 notices came.
answered_by_all() {
    local i
    for ((i = 1; i <= $1; i++)); do [ "$(answers_from 10.77.0.$i)" -ge 2 ] || return 1; done
    [ "$(notices)" -ge 3 ]
}

for n in 3 5; do
    group_up "$n"
    ping_until 120 "answered_by_all $n" 0 -b 10.77.0.255
    [ "$(grep -c '^Packet From ' "$T/ping.out")" -eq "$(grep -c '^Packet From 10\.77\.0\.[1-5]:$' "$T/ping.out")" ] ||
        fail "$n machines: an answer from outside the group"
    check_machines_named "$n"
    # Whether a machine meets the 2 ms deadline depends on how busy this host
    # is: a figure, not a check.
    echo "$n machines: $(notices) notices, $(fully_timely "$n") all timely; answers: $(grep -c '^Packet From ' "$T/ping.out")"
    group_down
done
pass "broadcast answers and verdicts from groups of 3 and 5"
