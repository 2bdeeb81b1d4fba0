# The packages and their units under a real systemd: a container (systemd-
# nspawn) boots this machine's root through an overlay whose upper layer is a
# tmpfs of this test's private mount namespace, so nothing it writes reaches
# the machine's /etc or /usr. In it: every .deb that scripts/package writes is
# installed and their scripts enable and start norvd and NORVpong (NORVpong's devices are its
# user's alone: norvd sees who holds /dev/rtf1), NORVping 127.0.0.1 gets answers,
# `systemctl reload norvd` takes a good file and fails, with the reason, on a
# bad one; a bad file at start ends norvd with status 78 and no restart;
# realtime-priority 20 puts its loop at SCHED_FIFO under the unit's sandbox; the
# packages installed again restart norvd; then they are purged with the units
# running, and no norvd or NORVpong is left.
# `systemd-analyze security norvd.service` is printed. The packages come from
# a copy of this tree, as in 502, or from NORV_PACKAGE_DIR when it is set.
source "$(dirname "$0")/common.sh"
command -v systemd-nspawn >/dev/null || skip "systemd-nspawn is not installed (apt-get install systemd-container)"
[ "$(id -u)" = 0 ] || skip "needs root to boot a container"
[ -x /lib/systemd/systemd ] || skip "the machine has no systemd to boot"
command -v dpkg >/dev/null || skip "dpkg is not installed"

if [ -z "${NORV_505_NS:-}" ]; then
    # A mount namespace of its own: the tmpfs and the overlay go with it.
    rm -rf "$T"  # the run in the namespace makes a scratch directory of its own
    exec env NORV_505_NS=1 unshare --mount --propagation private -- bash "$0" "$@"
fi

src=$(cd "$(dirname "$0")/../.." && pwd)
if [ -n "${NORV_PACKAGE_DIR:-}" ]; then
    debs=("$NORV_PACKAGE_DIR"/*.deb)
else
    for tool in cmake make g++ dpkg-deb dpkg-shlibdeps file; do
        command -v "$tool" >/dev/null || skip "$tool is not installed"
    done
    mkdir "$T/src"
    (cd "$src" && tar -cf - --exclude='./build*' --exclude=./out --exclude=./.git .) | tar -xf - -C "$T/src"
    NORV_PACKAGE_BUILD_DIR=$T/build bash "$T/src/scripts/package" "$T/out" >"$T/package.log" 2>&1 ||
        fail "scripts/package failed: $(tail -30 "$T/package.log")"
    debs=("$T"/out/*.deb)
fi
[ -f "${debs[0]}" ] || fail "no packages: ${debs[*]}"

# The overlay: the machine's root below, a tmpfs above. Both are unmounted
# before the scratch directory is removed, or the removal would go down into
# the overlay (into its upper layer only, but for nothing).
unmount_layers() {
    umount -l "$T/root" 2>/dev/null
    umount -l "$T/layer" 2>/dev/null
    _cleanup
}
trap unmount_layers EXIT
mkdir "$T/layer" "$T/root"
mount -t tmpfs -o mode=755 norv-505 "$T/layer" || fail "cannot mount a tmpfs"
mkdir "$T/layer/upper" "$T/layer/work"
mount -t overlay -o "lowerdir=/,upperdir=$T/layer/upper,workdir=$T/layer/work" norv-505 "$T/root" ||
    skip "cannot mount an overlay of / (no overlayfs here)"
[ -d "$T/root/etc" ] && [ -x "$T/root/lib/systemd/systemd" ] || fail "the overlay has no /etc or systemd"

# A policy-rc.d (container images carry one) forbids the packages' scripts to
# start services; a machine's root has none. Removed in the overlay only.
rm -f "$T/root/usr/sbin/policy-rc.d"

# What runs in the container: a unit started at boot runs the script, whose
# output the test reads from the upper layer once the container is off.
box=$T/root/norv-505
rm -rf "$box" && mkdir "$box"
cp "${debs[@]}" "$box/"
cat >"$box/run.sh" <<'SCRIPT'
#!/bin/bash
# Runs in the container, as its systemd's unit norv-505.service.
exec >/norv-505/out 2>&1
set -u
step() { echo "STEP: $*"; }
bad() { echo "FAIL: $*"; systemctl --no-block poweroff; exit 1; }
step install
dpkg -i /norv-505/*.deb || bad "dpkg -i failed"
# The packages' scripts enable and start the units.
for unit in norvd.service NORVpong.service; do
    systemctl is-enabled --quiet "$unit" || bad "$unit is not enabled after the install"
    systemctl is-active --quiet "$unit" || bad "$unit is not running after the install: $(journalctl -u "$unit" --no-pager | tail -20)"
done
step ping
timeout -s INT 5 NORVping 127.0.0.1 >/norv-505/ping.out 2>&1
answers=$(grep -c '^Packet From 127.0.0.1:' /norv-505/ping.out)
echo "answers: $answers"
[ "$answers" -ge 2 ] || bad "NORVping: $(tail -20 /norv-505/ping.out); $(journalctl -u norvd -u NORVpong --no-pager | tail -20)"
# NORVpong runs as a user of its own: norvd found it among the holders of
# /dev/rtf1 through /proc, sandbox and all (ProtectProc=invisible).
for _ in $(seq 40); do
    journalctl -u norvd --no-pager | grep -E "connected, .* for uid [1-9][0-9]* only \(0600\)" && break
    sleep 0.5
done
journalctl -u norvd --no-pager | grep -qE "connected, .* for uid [1-9][0-9]* only \(0600\)" ||
    bad "NORVpong's connection is not its user's alone: $(journalctl -u norvd -u NORVpong --no-pager | tail -30)"
step reload
conf=/etc/norv/norvd.conf
cp "$conf" /norv-505/norvd.conf.orig
echo 'log-level info' >>"$conf"
systemctl reload norvd.service || bad "reload of a good file failed: $(journalctl -u norvd --no-pager | tail -5)"
echo 'colour blue' >>"$conf"
if systemctl reload norvd.service 2>/norv-505/reload.err; then bad "reload of a bad file succeeded"; fi
cat /norv-505/reload.err
# systemctl points to the status, which shows norvctl's reason.
systemctl status norvd.service --no-pager -n 5 >/norv-505/reload.status 2>&1
grep "norvctl: reload: " /norv-505/reload.status
grep -q "norvctl\[[0-9]*\]: norvctl: reload: $conf:[0-9]*: unknown setting 'colour'; the running settings are kept" /norv-505/reload.status ||
    bad "the reason of the failed reload is not told: $(cat /norv-505/reload.err /norv-505/reload.status)"
systemctl is-active --quiet norvd.service || bad "norvd stopped after a bad reload"
step bad-start
systemctl stop NORVpong.service norvd.service
systemctl start norvd.service && bad "norvd started with a bad file"
sleep 3
echo "norvd: $(systemctl show -p ExecMainStatus -p NRestarts -p ActiveState norvd.service | tr '\n' ' ')"
[ "$(systemctl show -p ExecMainStatus --value norvd.service)" = 78 ] || bad "a bad file: not status 78"
[ "$(systemctl show -p NRestarts --value norvd.service)" = 0 ] || bad "a bad file: norvd restarted"
# Real-time priority under the unit's capabilities and system call filter.
{ cat /norv-505/norvd.conf.orig; echo 'realtime-priority 20'; } >"$conf"
systemctl reset-failed norvd.service
systemctl start norvd.service NORVpong.service || bad "no start at real-time priority: $(journalctl -u norvd --no-pager | tail -5)"
journalctl -u norvd --no-pager | grep "the loop runs at SCHED_FIFO priority 20, its memory locked" ||
    bad "not at real-time priority: $(journalctl -u norvd --no-pager | tail -5)"
step security
systemd-analyze security norvd.service --no-pager | tail -1
systemd-analyze security NORVpong.service --no-pager | tail -1
step upgrade
before=$(systemctl show -p MainPID --value norvd.service)
dpkg -i /norv-505/*.deb || bad "dpkg -i again failed"
after=$(systemctl show -p MainPID --value norvd.service)
systemctl is-active --quiet norvd.service && [ "$after" != "$before" ] && [ "$after" != 0 ] ||
    bad "norvd not restarted by the upgrade: pid $before, then $after"
step remove
# With the units running: the packages' scripts stop them.
packages=$(for deb in /norv-505/*.deb; do dpkg-deb -f "$deb" Package; done)
# shellcheck disable=SC2086
dpkg --purge $packages || bad "dpkg --purge failed"
systemctl daemon-reload
sleep 1
left=$(pgrep -a -x 'norvd|NORVpong')
[ -z "$left" ] || bad "left running: $left"
[ ! -e /dev/rtf1 ] && [ ! -e /run/norvd.sock ] || bad "left: $(ls -l /dev/rtf* /run/norvd.sock 2>&1)"
! ls /etc/systemd/system/*.wants/norvd.service /etc/systemd/system/*.wants/NORVpong.service 2>/dev/null ||
    bad "the units are still enabled after the purge"
echo "DONE"
systemctl --no-block poweroff
SCRIPT
chmod 755 "$box/run.sh"
cat >"$T/root/etc/systemd/system/norv-505.service" <<'UNIT'
[Unit]
Description=norv 505: the packages under systemd
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/norv-505/run.sh
UNIT
mkdir -p "$T/root/etc/systemd/system/multi-user.target.wants"
ln -s ../norv-505.service "$T/root/etc/systemd/system/multi-user.target.wants/norv-505.service"

# 5 minutes for the boot, the test and the power-off. The container gets
# CAP_IPC_LOCK, which systemd-nspawn leaves out by default, for norvd's
# realtime-priority.
st=0
timeout -k 10 300 systemd-nspawn --quiet --directory="$T/root" --private-network --register=no --keep-unit \
    --machine=norv505 --capability=CAP_IPC_LOCK -b >"$T/boot.log" 2>&1 </dev/null || st=$?
out=$(cat "$box/out" 2>/dev/null)
if [ -z "$out" ]; then
    # The container did not get as far as the script: this machine cannot boot one.
    skip "the container did not boot (status $st): $(tail -5 "$T/boot.log")"
fi
echo "$out"
grep -q '^DONE$' "$box/out" || fail "in the container: $(grep -m1 '^FAIL' "$box/out")"
figure=$(grep -o 'Overall exposure level for norvd.service: [0-9.]*' "$box/out")
answers=$(sed -n 's/^answers: //p' "$box/out")
pass "in a booted container: $answers answers, a good and a bad reload, status 78 at a bad start, real-time priority, a restart on upgrade, no process left after the purge; $figure"
