# Garbage and half requests written by four clients at once to every device
# of norvd (the registration FIFO, the devices of idle connections, the notice
# FIFOs of NORVping and NORVpong) while NORVping pings NORVpong: norvd lives,
# NORVping gets answers and notices after the storm, and new clients are
# served as before. How many answers and notices come during the storm
# depends on this host's speed: those counts are reported, not checked.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$NORVPONG"; have "$NORVPING"; have "$PROBE"
isolate
start_norvd

start_pong
start ping "$NORVPING" 127.0.0.1
answers() { grep -c '^Packet From 127.0.0.1:$' "$T/ping.out" 2>/dev/null || true; }
notices() { grep -c '^Message from: 0, Seq: ' "$T/ping.out" 2>/dev/null || true; }
at_least() { [ "$($1)" -ge "$2" ]; }
wait_until 60 at_least answers 3 || fail "no answers before the storm: $(cat "$T/ping.out" "$T/ping.err")"
start hold1 "$PROBE" hold
start hold2 "$PROBE" hold
wait_until 10 logged "$T/hold1.out" connected && wait_until 10 logged "$T/hold2.out" connected ||
    fail "the idle clients did not connect"

# Every device but the request FIFOs of NORVping and NORVpong, whose bytes
# would only mix with their own requests.
sed -nE "s/.*channel ([0-9]+): connected.*/\\1/p" "$T/norvd.err" >"$T/channels"
mapfile -t channels <"$T/channels"
[ "${#channels[@]}" = 4 ] || fail "expected 4 connections: $(cat "$T/norvd.err")"
targets=(/dev/rtf1)
for i in "${!channels[@]}"; do
    n=${channels[$i]}
    targets+=("/dev/rtf$((n + 3))")
    [ "$i" -ge 2 ] && targets+=("/dev/rtf$n")
done

# A device whose connection the storm ended (its garbage can make a command 1)
# is gone: dd's nocreat keeps the storm from leaving a file of that name in
# /dev, where norvd could not make the link of a later connection.
storm() {  # storm SEED: 6 s of garbage and half requests on random targets
    RANDOM=$1
    local end=$((SECONDS + 6)) dev
    while [ "$SECONDS" -lt "$end" ]; do
        dev=${targets[RANDOM % ${#targets[@]}]}
        case $((RANDOM % 4)) in
            0) head -c $((RANDOM % 600)) /dev/urandom ;;
            1) printf '\x09\x00\x00\x00\xb8\x00\x00\x00partial' ;;       # half a registration
            2) printf '\x00\x00\x00' ;;                                    # half a head
            3) printf '\x0a\x00\x00\x00\x10\x00\x00\x00\x01\x00\x00\x00' ;; # half a receipt
        esac 2>/dev/null | dd of="$dev" conv=nocreat,notrunc status=none 2>/dev/null
    done
}
a0=$(answers); t0=$(notices)
for s in 1 2 3 4; do start storm$s bash -c "$(declare -f storm); targets=(${targets[*]}); storm $s"; done
for s in 1 2 3 4; do pid_var=storm${s}_pid; wait "${!pid_var}"; done
a1=$(answers); t1=$(notices)
kill -0 "$norvd_pid" || fail "norvd died: $(tail "$T/norvd.err")"
squatters=$(find /dev -maxdepth 1 -name 'rtf*' ! -type l)
[ -z "$squatters" ] || fail "the storm left files in /dev: $squatters"
check "the storm reached norvd" logged "$T/norvd.err" "malformed request"

wait_until 60 at_least answers $((a1 + 3)) || fail "no answers after the storm"
wait_until 60 at_least notices $((t1 + 3)) || fail "no notices after the storm"
# A half request that a storm writer left on /dev/rtf1 is dropped once no
# client holds the device, and in any case when the next bytes come more than
# 100 ms later: the first client after the storm is served at once.
timeout 30 "$PROBE" cycles 3 >/dev/null || fail "no new connection after the storm"
timeout 60 "$PROBE" timeliness >"$T/timeliness.out" || fail "commands 4 to 8 not served after the storm"
check "measurement after the storm" grep -qE '^measurement handle [1-9][0-9]* end 0 ' "$T/timeliness.out"
check "no error of NORVping" test ! -s "$T/ping.err"

stop "$ping_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "NORVping ended with $STOPPED_STATUS"
stop "$pong_pid"
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
pass "$((a1 - a0)) answers and $((t1 - t0)) notices during 6 s of garbage from 4 writers on ${#targets[@]} devices"
