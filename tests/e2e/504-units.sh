# The systemd units as installed: the project is installed into a staging
# tree (DESTDIR), which gets the machine's own units beside ours, and
# `systemd-analyze verify` checks norvd.service and NORVpong.service there:
# their programs exist at the paths written in them, and every key is known
# (a warning counts as a failure). The manual pages are not looked up.
# `systemd-analyze security --offline=yes` must rate norvd.service at most
# 3.7, what Debian 12's chrony.service gets (docs/security.md).
source "$(dirname "$0")/common.sh"
have "$NORVD"
for tool in cmake systemd-analyze; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
units=/usr/lib/systemd/system
[ -f "$units/sysinit.target" ] || units=/lib/systemd/system
[ -f "$units/sysinit.target" ] || skip "the machine has no systemd units to verify against"
cache() { sed -n "s/^$1:[A-Z]*=//p" "$NORV_BIN/CMakeCache.txt"; }
[ "$(cache NORV_INSTALL)" != OFF ] || skip "configured with NORV_INSTALL=OFF"

stage=$T/stage
DESTDIR=$stage cmake --install "$NORV_BIN" >"$T/install.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$T/install.log")"
ours=$(find "$stage" -path '*/systemd/system/*.service' | sort)
names=$(for u in $ours; do basename "$u"; done | tr '\n' ' ')
[ "$names" = "NORVpong.service norvd.service " ] || fail "units installed: $names"
unitdir=$(dirname "$(echo "$ours" | head -1)")
grep -qx "ExecStart=$(cache CMAKE_INSTALL_PREFIX)/sbin/norvd -f /.*/norv/norvd.conf" "$unitdir/norvd.service" ||
    fail "ExecStart of norvd.service: $(grep Exec "$unitdir/norvd.service")"

# The machine's units (targets, sockets) under ours, where ours are not.
mkdir -p "$stage/usr/lib/systemd/system"
cp -a --no-clobber "$units"/. "$stage/usr/lib/systemd/system/"
[ "$unitdir" = "$stage/usr/lib/systemd/system" ] || cp -a "$unitdir"/*.service "$stage/usr/lib/systemd/system/"

systemd-analyze verify --man=no --root="$stage" norvd.service NORVpong.service >"$T/verify.log" 2>&1 ||
    fail "systemd-analyze verify failed: $(cat "$T/verify.log")"
[ ! -s "$T/verify.log" ] || fail "systemd-analyze verify warned: $(cat "$T/verify.log")"
# An older systemd-analyze has no --offline: then the figure is not checked.
exposure="not rated (systemd-analyze security --offline=yes not supported)"
if systemd-analyze security --offline=yes "$unitdir/norvd.service" >"$T/security.log" 2>&1; then
    figure=$(sed -n 's/.*Overall exposure level for norvd.service: \([0-9.]*\).*/\1/p' "$T/security.log")
    [ -n "$figure" ] || fail "no figure: $(tail -3 "$T/security.log")"
    awk -v f="$figure" 'BEGIN { exit !(f <= 3.7) }' || fail "norvd.service is rated $figure, more than 3.7"
    exposure="norvd.service rated $figure"
fi
pass "systemd-analyze verify: $names; $exposure"
