# A forger on machine 2 speaks for machine 1, which never receives machine 0's
# pings (link 0>1 loses every packet): it sniffs each broadcast ping and sends
# machine 0 receipts from machine 1's address, of both versions, and plays
# machine 2's own receipts again, from machine 2's address and from machine
# 1's. With the group's key, every verdict on machine 1 stays "Lateness degree
# not available", machine 0's norvd counts every forged or played message by
# its cause and takes exactly machine 2's genuine receipts; when machine 2's
# norvd starts again, its receipts are taken again (a new epoch). Without a
# key the same forger turns machine 1's verdicts into verdicts with a
# lateness, which the truth check finds untrue: the attack is real. First,
# norvd refuses to start with a key file that others may read or that holds
# no key, and --gen-key never replaces a file.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/group_common.sh"
FORGER=$(cd "$(dirname "$0")" && pwd)/forge_receipts.py
isolate

have "$NORVD"
"$NORVD" --gen-key "$T/probe.key" >"$T/probe-key.out" 2>&1 ||
    skip "norvd cannot make a key: $(cat "$T/probe-key.out")"

# A key file that is not the group's secret alone, or no key, and norvd does
# not start: status 1, the reason, no device. Rows: mode, content, message.
good=$(cat "$T/probe.key")
while IFS='|' read -r mode content message; do
    printf '%s' "$content" >"$T/bad.key"
    chmod "$mode" "$T/bad.key"
    rc=0
    timeout 10 "$NORVD" --bind 127.0.0.1 --peer 1=127.0.0.2 --key-file "$T/bad.key" >"$T/bad.out" 2>&1 || rc=$?
    [ "$rc" = 78 ] && grep -qF -- "$message" "$T/bad.out" && [ ! -e /dev/rtf1 ] ||
        fail "key file of mode $mode, ${#content} bytes: status $rc, $(cat "$T/bad.out")"
    rm -f "$T/bad.key"
done <<ROWS
644|$good|has mode 0644: it must be 0600 or 0400
640|$good|has mode 0640: it must be 0600 or 0400
600|${good:0:63}|63 bytes: a key is 32 bytes or 64 hex digits
600|${good:0:63}x|not hex
ROWS
rc=0
"$NORVD" --gen-key "$T/probe.key" >"$T/again.out" 2>&1 || rc=$?
[ "$rc" = 1 ] && grep -q 'File exists' "$T/again.out" && [ "$(cat "$T/probe.key")" = "$good" ] ||
    fail "--gen-key over a key that exists: status $rc, $(cat "$T/again.out")"

# start_forger: the forger in machine 2's namespaces; its pid in forger_pid_of.
start_forger() {
    rm -f "$T/forged" "$T/forged-ids" "$T/forger.pid"
    start forger group run 2 sh -c 'echo $$ >"$1"; shift; exec "$@"' sh "$T/forger.pid" \
        python3 "$FORGER" --iface norv0 --registrar 0=10.77.0.1 --victim 1=10.77.0.2 \
        --own 10.77.0.3 --counts "$T/forged" --ids "$T/forged-ids"
    wait_until 30 grep -q sniffing "$T/forger.out" || fail "the forger did not start: $(cat "$T/forger.err")"
    forger_pid_of=$(cat "$T/forger.pid")
}
stop_forger() {
    kill -TERM "$forger_pid_of"
    wait "$forger_pid" || fail "the forger failed: $(cat "$T/forger.err")"
    grep -q '^stopped: ' "$T/forger.out" || fail "the forger did not stop cleanly: $(cat "$T/forger.err")"
}
# forged KEY: the forger's count KEY (v1, v2, replayed, relayed).
forged() { tr ' ' '\n' <"$T/forged" 2>/dev/null | sed -n "s/^$1=//p"; }
at_least() { [ "${1:-0}" -ge "$2" ]; }
# counters: machine 0's norvd's last line of peer message counters.
counters() { grep "^<[46]>norvd: peer messages: " "$T/group/norvd-0.log" | tail -1 | sed "s/^<[46]>norvd: peer messages: //"; }

# ---- With the group's key ---------------------------------------------------
group_up 3 --link "0>1 loss=100%"
grep -q 'peer messages authenticated' "$T/group/norvd-0.log" || fail "norvd 0 runs without the key: $(cat "$T/group/norvd-0.log")"
start_forger
enough() {
    at_least "$(verdicts_on 1)" 5 && at_least "$(forged v1)" 5 && at_least "$(forged replayed)" 5
}
ping_until 120 enough 0 -b 10.77.0.255
stop_forger
v1=$(forged v1) v2=$(forged v2) replayed=$(forged replayed) relayed=$(forged relayed)
# Every genuine message of machine 2 (receipts, and probes since the forger
# started) was played again once from each address. The messages accepted are
# those and the probes of machine 1.
want="not-peer 0, malformed 0, unauthenticated $v1, no-key 0, bad-code $v2, wrong-machine $relayed, stale 0, replayed $replayed, too-old 0, old-epoch 0"
# The counters are logged at most once a second, when drops grew.
wait_until 30 sh -c '[ "$(grep "^<[46]>norvd: peer messages: " "$1" | tail -1 | sed "s/^<[46]>norvd: peer messages: accepted [0-9]*, //")" = "$2" ]' \
    sh "$T/group/norvd-0.log" "$want" || fail "norvd 0 counted: $(counters); want: $want"
group ctl 0 --json peers >"$T/peers.json" || fail "norvctl --json peers"
of_machine_2() { python3 -c "import json, sys; print([p for p in json.load(open(sys.argv[1]))['peers'] if p['machine'] == 2][0][sys.argv[2]])" "$T/peers.json" "$1"; }
accepted=$(of_machine_2 accepted) taken=$(of_machine_2 receipts)
[ "$accepted" -ge "$replayed" ] && [ "$taken" = "$(grep -c 'received on machine 2 at' "$T/group/norvd-0.log")" ] ||
    fail "norvd 0 accepted $accepted messages of machine 2 ($replayed played again), $taken receipts"
all=$(verdicts_on 1)
na=$(verdicts_on 1 na)
[ "$na" = "$all" ] || fail "with the key, $((all - na)) of $all verdicts on machine 1 have a lateness"
received=$(grep -c 'received on machine 1' "$T/group/norvd-0.log")
[ "$received" = 0 ] || fail "with the key, norvd 0 took $received receipts as machine 1's"
keyed="with the key: $all verdicts on machine 1, all without lateness; forged $v1 + $v2, played $replayed + $relayed, all dropped"
echo "$keyed; counters: $(counters)"

# Machine 2's norvd starts again: it numbers its messages from 1 again, in a
# new epoch, and is heard; nothing more is dropped.
group stop 2 norvd
group start 2 norvd
for i in 0 1 2; do group start "$i" pong; done  # check_truth stopped them
heard_again() { at_least "$(verdicts_on 2 known)" 3; }
ping_until 120 heard_again 0 -b 10.77.0.255
group stop 0 norvd
grep -o 'machine 2: first message of its start at epoch [0-9]*' "$T/group/norvd-0.log" | awk '{ print $NF }' >"$T/epochs"
[ "$(wc -l <"$T/epochs")" = 2 ] && [ "$(sed -n 2p "$T/epochs")" -gt "$(sed -n 1p "$T/epochs")" ] ||
    fail "machine 2's starts as norvd 0 heard them: $(xargs <"$T/epochs")"
[ "$(counters | sed 's/^accepted [0-9]*, //')" = "$want" ] ||
    fail "norvd 0 counted at its end: $(counters); before machine 2 restarted: $want"
keyed+="; machine 2 restarted and heard again ($(verdicts_on 2 known) verdicts with a lateness)"
group_down

# ---- Without a key: the same attack succeeds ---------------------------------
group_up 3 --no-key --link "0>1 loss=100%"
warnings=$(grep -c "^<4>norvd: peer messages are not authenticated" "$T/group/norvd-0.log")
[ "$warnings" = 1 ] || fail "without a key, norvd 0 warned $warnings times that its peers are unauthenticated"
start_forger
forged_verdicts() { at_least "$(verdicts_on 1 known)" 3; }
TRUTH_VERDICTS=report ping_until 120 forged_verdicts 0 -b 10.77.0.255
stop_forger
# Each verdict on machine 1 with a lateness came from a forged receipt, and
# the truth check finds each of them, and nothing else, untrue.
verdicts | awk '$2 == 1 && $4 != "na" { print $1 }' | sort -u >"$T/known-ids"
sort -u "$T/forged-ids" >"$T/forged-sorted"
not_forged=$(comm -23 "$T/known-ids" "$T/forged-sorted" | wc -l)
[ "$not_forged" = 0 ] || fail "$not_forged verdicts on machine 1 have a lateness without a forged receipt"
known=$(verdicts_on 1 known)
untrue=$(sed -n 's/^counts: .* untrue=\([0-9]*\) .*/\1/p' "$T/truth.out")
[ "$untrue" = "$known" ] || fail "without a key, the truth check finds $untrue untrue verdicts, want the $known forged ones"
pass "$keyed; without a key: $known of $(verdicts_on 1) verdicts on machine 1 forged, all found untrue"
