# Clients killed mid-exchange: an unread channel number, a half-written
# request, a connected client and a pinging NORVping; each time the next
# client is served as if nothing had happened.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$PROBE"
isolate
start_norvd

# Asks for a channel and dies without reading the answer. With no other
# client on /dev/rtf1, norvd reads the answer back and ends channel 0 at once.
bash -c 'exec 3<>/dev/rtf1; printf "\x00\x00\x00\x00\x00\x00\x00\x00" >&3; sleep 0.5; kill -9 $$' 2>/dev/null
wait_until 10 logged "$T/norvd.err" "channel 0: connected" || fail "command 0 not served: $(cat "$T/norvd.err")"
wait_until 10 logged "$T/norvd.err" "channel 0: reclaimed: its client left before reading its number" ||
    fail "the unread answer was not taken back: $(cat "$T/norvd.err")"
# The next client gets a channel of its own (0 again, with new devices).
start hold "$PROBE" hold
wait_until 10 logged "$T/hold.out" connected || fail "no connection: $(cat "$T/hold.err")"
check "the next client got no new channel" test "$(grep -c 'channel 0: connected' "$T/norvd.err")" = 2
pts=$(readlink /dev/rtf0)
check "the client does not hold /dev/rtf0 ($pts)" sh -c "ls -l /proc/$hold_pid/fd | grep -q ' $pts\$'"

# Dies in the middle of a request on /dev/rtf1.
bash -c 'exec 3<>/dev/rtf1; printf "\x00\x00\x00" >&3; kill -9 $$' 2>/dev/null
wait_until 10 logged "$T/norvd.err" "/dev/rtf1: last client closed it mid-request, 3 bytes dropped" ||
    fail "the half request was not dropped: $(cat "$T/norvd.err")"
timeout 30 "$PROBE" cycles 3 >"$T/cycles.out" || fail "no service after a half request"

# A connected client killed: its channel is reclaimed, its links removed.
stop "$hold_pid" KILL
wait_until 10 logged "$T/norvd.err" "channel 0: reclaimed: its client closed both devices" ||
    fail "channel 0 not reclaimed: $(cat "$T/norvd.err")"
[ ! -e /dev/rtf0 ] && [ ! -e /dev/rtf3 ] || fail "links of channel 0 left: $(links)"

# NORVping killed while pinging, then a clean one.
if [ -x "$NORVPING" ] && [ -x "$NORVPONG" ]; then
    start_pong
    start ping1 "$NORVPING" 127.0.0.1
    wait_until 60 logged "$T/ping1.out" "Packet From 127.0.0.1:" || fail "no answer to the first NORVping"
    stop "$ping1_pid" KILL
    wait_until 10 logged "$T/norvd.err" "reclaimed: its client closed both devices" ||
        fail "the killed NORVping's channel was not reclaimed"
    start ping2 "$NORVPING" 127.0.0.1
    wait_until 60 logged "$T/ping2.out" "Message from: 0" || fail "no notice for the second NORVping"
    wait_until 60 logged "$T/ping2.out" "Packet From 127.0.0.1:" || fail "no answer to the second NORVping"
    stop "$ping2_pid"
    stop "$pong_pid"
fi

kill -0 "$norvd_pid" || fail "norvd died"
stop "$norvd_pid"
[ "$STOPPED_STATUS" = 0 ] || fail "norvd ended with $STOPPED_STATUS"
[ -z "$(links)" ] || fail "links left behind: $(links)"
pass "every killed client cleaned up after"
