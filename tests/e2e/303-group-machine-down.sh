# A machine whose norvd and NORVpong are stopped, and a link that loses every
# packet: that machine's verdicts are timing failures with the lateness not
# available, and the client goes on pinging the others.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
isolate

# enough: three verdicts on machine 2 and three answers from machine 1.
enough() { [ "$(verdicts_on 2)" -ge 3 ] && [ "$(answers_from 10.77.0.2)" -ge 3 ]; }

expect_missing_machine_2() {
    local what=$1 missing all
    verdicts >"$T/v"
    missing=$(awk '$2 == 2 && $3 == "failure" && $4 == "na"' "$T/v" | wc -l)
    all=$(verdicts_on 2)
    [ "$missing" = "$all" ] || fail "$what: $missing of $all verdicts on machine 2 say not received"
    [ "$(answers_from 10.77.0.3)" = 0 ] || fail "$what: answers from machine 2"
    check_machines_named 3
    echo "$what: $all notices, machine 2 never received; $(answers_from 10.77.0.2) answers from machine 1"
}

group_up 3
group stop 2 all
ping_until 120 enough 0 -b 10.77.0.255
expect_missing_machine_2 "machine 2 stopped"
group_down

group_up 3 --link "0>2 loss=100%"
ping_until 120 enough 0 -b 10.77.0.255
expect_missing_machine_2 "all lost on the link to machine 2"
pass "a missing machine is reported as a timing failure with the lateness unknown"
