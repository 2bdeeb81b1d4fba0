# The Debian packages as scripts/package builds them, from a copy of this
# tree: libnorv0, libnorv-dev and norv. lintian reports no error and no
# warning on any of them; each holds the files expected and no other, with
# its control data. Then dpkg installs the three into a root of this test's
# own, an overlay of the machine's / written to a tmpfs of this test's
# private mount namespace, where the maintainer scripts run chrooted with
# systemctl and deb-systemd-invoke behind recorders: the group norv is
# made (with addgroup, and with groupadd alone), both units are enabled and
# started on install, restarted on upgrade, stopped on remove, and their
# enablement goes on purge; the ldconfig trigger puts libnorv.so.0 in the
# linker cache, and a C program builds with pkg-config against libnorv-dev
# and runs. The machine's own /, /etc and dpkg database are never written.
source "$(dirname "$0")/common.sh"
for tool in cmake make g++ dpkg-deb dpkg-shlibdeps getent lintian chroot objdump; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
isolate

src=$(cd "$(dirname "$0")/../.." && pwd)
tree=$T/src
mkdir "$tree"
(cd "$src" && tar -cf - --exclude='./build*' --exclude=./out --exclude=./.git .) | tar -xf - -C "$tree"

# As scripts/package makes them for a machine: not with the options of the
# build under test (a sanitized one, say), which reach it in NORV_CMAKE_ARGS.
NORV_PACKAGE_BUILD_DIR=$T/build env -u NORV_CMAKE_ARGS bash "$tree/scripts/package" "$T/out" >"$T/package.log" 2>&1 ||
    fail "scripts/package failed: $(tail -30 "$T/package.log")"
major=$(sed -n 's/^#define NORV_VERSION_MAJOR \([0-9]*\)$/\1/p' "$tree/include/norv.h")
minor=$(sed -n 's/^#define NORV_VERSION_MINOR \([0-9]*\)$/\1/p' "$tree/include/norv.h")
version=$major.$minor-1
arch=$(dpkg --print-architecture)
libpkg=libnorv$major
for pkg in "$libpkg" libnorv-dev norv; do
    grep -qx "$T/out/${pkg}_${version}_$arch.deb" "$T/package.log" ||
        fail "scripts/package did not name ${pkg}_${version}_$arch.deb: $(tail -5 "$T/package.log")"
done
made=$(cd "$T/out" && ls | tr '\n' ' ')
[ "$made" = "libnorv-dev_${version}_$arch.deb ${libpkg}_${version}_$arch.deb norv_${version}_$arch.deb " ] ||
    fail "packages made: $made"
deb() { echo "$T/out/${1}_${version}_$arch.deb"; }

# ---- lintian: not one error or warning (overrides carry their reason) ----
status=0
lintian --tag-display-limit 0 --fail-on error,warning "$T"/out/*.deb >"$T/lintian.log" 2>&1 || status=$?
! grep -E '^[EW]: ' "$T/lintian.log" && [ "$status" = 0 ] ||
    fail "lintian (status $status): $(cat "$T/lintian.log")"

# ---- Files: exactly what is expected in each package, nothing else ----
files() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ { print $6 }' | sort; }
pc=$(files libnorv-dev | grep '/pkgconfig/norv\.pc$') || fail "no norv.pc: $(files libnorv-dev)"
lib=${pc%/pkgconfig/norv.pc}
[[ $lib =~ ^\./usr/lib(/[a-z0-9_]+-linux-[a-z0-9_]+)?$ ]] || fail "library folder $lib"
# Section 3 (the library's page) goes with libnorv-dev, the others with norv.
pages=(NORVping.1 NORVpong.1 featgen.1 norvctl.1 norvd.8 norvd.conf.5 libnorv.3)
for page in "$tree"/man/*.[1-8]; do
    name=$(basename "$page")
    [[ " ${pages[*]} " == *" $name "* ]] || pages+=("$name")
done
docs() { printf '%s\n' "./usr/share/doc/$1/changelog.Debian.gz" "./usr/share/doc/$1/copyright" \
    "./usr/share/lintian/overrides/$1"; }
expected() {
    case $1 in
        "$libpkg") printf '%s\n' "$lib/libnorv.so.$major" "$lib/libnorv.so.$major.$minor" ;;
        libnorv-dev)
            printf '%s\n' ./usr/include/norv.h "$pc" "$lib/libnorv.a" "$lib/libnorv.so" \
                "$lib/cmake/norv/norvConfig.cmake" "$lib/cmake/norv/norvConfigVersion.cmake" \
                "$lib/cmake/norv/norvTargets.cmake" "$lib/cmake/norv/norvTargets-CONFIG.cmake"
            for name in "${pages[@]}"; do
                [ "${name##*.}" != 3 ] || echo "./usr/share/man/man3/$name.gz"
            done ;;
        norv)
            printf '%s\n' ./usr/bin/NORVping ./usr/bin/NORVpong ./usr/bin/featgen ./usr/bin/norvctl \
                ./usr/sbin/norvd ./etc/norv/norvd.conf ./usr/lib/systemd/system/norvd.service \
                ./usr/lib/systemd/system/NORVpong.service
            for name in "${pages[@]}"; do
                [ "${name##*.}" = 3 ] || echo "./usr/share/man/man${name##*.}/$name.gz"
            done ;;
    esac
    docs "$1"
}
for pkg in "$libpkg" libnorv-dev norv; do
    expected "$pkg" | sort >"$T/expected-$pkg"
    files "$pkg" | sed 's/norvTargets-[a-z]*\.cmake$/norvTargets-CONFIG.cmake/' >"$T/found-$pkg"
    diff "$T/expected-$pkg" "$T/found-$pkg" >"$T/files.diff" ||
        fail "files of $pkg differ from those expected (< missing, > unexpected): $(cat "$T/files.diff")"
    dpkg-deb -x "$(deb "$pkg")" "$T/x"
done
dpkg-deb -c "$(deb "$libpkg")" | grep -q "$lib/libnorv.so.$major -> libnorv.so.$major.$minor$" ||
    fail "libnorv.so.$major is no link to libnorv.so.$major.$minor"
dpkg-deb -c "$(deb libnorv-dev)" | grep -q "$lib/libnorv.so -> libnorv.so.$major$" ||
    fail "libnorv.so is no link to libnorv.so.$major"

# The units with the install paths filled in, the pages compressed from man/.
grep -qx 'ExecStart=/usr/sbin/norvd -f /etc/norv/norvd.conf' "$T/x/usr/lib/systemd/system/norvd.service" ||
    fail "norvd.service: $(grep Exec "$T/x/usr/lib/systemd/system/norvd.service")"
grep -qx 'ExecStart=/usr/bin/NORVpong' "$T/x/usr/lib/systemd/system/NORVpong.service" ||
    fail "NORVpong.service: $(grep Exec "$T/x/usr/lib/systemd/system/NORVpong.service")"
for name in "${pages[@]}"; do
    zcat "$T/x/usr/share/man/man${name##*.}/$name.gz" | cmp -s - "$tree/man/$name" ||
        fail "$name.gz is not man/$name compressed"
done
grep -qx 'prefix=/usr' "$T/x/$pc" || fail "norv.pc: $(cat "$T/x/$pc")"
cmp -s "$T/x/etc/norv/norvd.conf" "$tree/dist/norvd.conf" || fail "norvd.conf is not dist/norvd.conf"

# ---- Control data ----
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
for pkg in "$libpkg" libnorv-dev norv; do
    [ "$(field "$pkg" Package)" = "$pkg" ] || fail "Package: $(field "$pkg" Package)"
    [ "$(field "$pkg" Version)" = "$version" ] || fail "$pkg: Version: $(field "$pkg" Version)"
    [ "$(field "$pkg" Architecture)" = "$arch" ] || fail "$pkg: Architecture: $(field "$pkg" Architecture)"
    dpkg-deb -e "$(deb "$pkg")" "$T/control-$pkg"
done
[ "$(field libnorv-dev Depends)" = "$libpkg (= $version)" ] ||
    fail "libnorv-dev: Depends: $(field libnorv-dev Depends)"
depends=$(field norv Depends)
for needed in 'adduser | passwd' 'libc6 (>= ' 'libstdc++6 (>= '; do
    [[ $depends == *"$needed"* ]] || fail "norv: Depends lacks $needed: $depends"
done
# norv needs libnorv0 exactly when one of its programs loads libnorv.so.0.
linked=no
for program in "$T"/x/usr/bin/* "$T"/x/usr/sbin/*; do
    objdump -p "$program" | grep -q "NEEDED *libnorv\.so\.$major$" && linked=yes
done
[[ $depends == *"$libpkg "* ]] && depends_lib=yes || depends_lib=no
[ "$linked" = "$depends_lib" ] || fail "norv: a program loads libnorv: $linked; Depends: $depends"
grep -qx 'activate-noawait ldconfig' "$T/control-$libpkg/triggers" ||
    fail "$libpkg: triggers: $(cat "$T/control-$libpkg/triggers" 2>&1)"
grep -qx "libnorv $major $libpkg (>= $major.$minor)" "$T/control-$libpkg/shlibs" ||
    fail "$libpkg: shlibs: $(cat "$T/control-$libpkg/shlibs" 2>&1)"
grep -qx "libnorv.so.$major $libpkg #MINVER#" "$T/control-$libpkg/symbols" ||
    fail "$libpkg: symbols: $(head -3 "$T/control-$libpkg/symbols" 2>&1)"
for script in postinst prerm postrm; do
    [ -x "$T/control-norv/$script" ] || fail "norv: no executable $script: $(ls -l "$T/control-norv")"
done
[ "$(cat "$T/control-norv/conffiles")" = /etc/norv/norvd.conf ] ||
    fail "norv: conffiles: $(cat "$T/control-norv/conffiles" 2>&1)"

# ---- Install, upgrade, remove, purge in a root of this test's own ----
machine_group=$(getent group norv || true)
machine_norv=$(dpkg-query -W -f '${Status}' norv 2>/dev/null || true)
root=$T/root
mkdir "$T/layers" "$root"
mount -t tmpfs norv-root "$T/layers" || fail "no tmpfs for the overlay of /"
mkdir "$T/layers/up" "$T/layers/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$T/layers/up,workdir=$T/layers/work" "$root" ||
    fail "cannot overlay /"
[ "$(stat -f -c %T "$root")" = overlayfs ] || fail "$root is no overlay"
mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
    mount -t tmpfs -o mode=755 norv-run "$root/run" || fail "no /proc, /dev or /run in the root"
# systemd seems to run there. systemctl and deb-systemd-invoke, found first
# in PATH, record their calls in /run/calls; the offline ones that
# deb-systemd-helper makes with --root go on to the machine's systemctl.
mkdir -p "$root/run/systemd/system" "$root/usr/local/bin"
cat >"$root/usr/local/bin/systemctl" <<'EOF'
#!/bin/sh
echo "systemctl $*" >>/run/calls
case " $* " in *" --root="*) exec /usr/bin/systemctl "$@" ;; esac
EOF
printf '#!/bin/sh\necho "deb-systemd-invoke $*" >>/run/calls\n' >"$root/usr/local/bin/deb-systemd-invoke"
chmod 755 "$root/usr/local/bin/systemctl" "$root/usr/local/bin/deb-systemd-invoke"
mkdir "$root/norv-debs"
cp "$T"/out/*.deb "$root/norv-debs/"
in_root() { chroot "$root" env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
# dpkg_in_root STEP ARGS...: runs dpkg there; STEP names its log and the
# units' calls it made, in $T/STEP.log and $T/STEP.calls.
dpkg_in_root() {
    local step=$1; shift
    : >"$root/run/calls"
    in_root dpkg "$@" >"$T/$step.log" 2>&1 || fail "dpkg $* failed: $(cat "$T/$step.log")"
    grep '^deb-systemd-invoke ' "$root/run/calls" >"$T/$step.calls" || true
    grep -q '^systemctl --system daemon-reload$' "$root/run/calls" && reloaded=yes || reloaded=no
}
# invoked STEP EXPECTED...: STEP made systemd reload and these calls of
# deb-systemd-invoke, in order.
invoked() {
    local step=$1; shift
    [ "$reloaded" = yes ] || fail "$step: no daemon-reload: $(cat "$root/run/calls")"
    printf '%s\n' "$@" | diff - "$T/$step.calls" >"$T/calls.diff" ||
        fail "$step: deb-systemd-invoke calls differ (< expected, > made): $(cat "$T/calls.diff")"
}
# one_system_group WHAT: exactly one group norv in the root, a system one.
one_system_group() {
    local count gid
    count=$(grep -c '^norv:' "$root/etc/group")
    [ "$count" = 1 ] || fail "$1: $count lines for the group norv"
    gid=$(in_root getent group norv | cut -d: -f3)
    [ -n "$gid" ] && [ "$gid" -lt 1000 ] || fail "$1: not a system group: $(in_root getent group norv)"
    echo "$1: $(in_root getent group norv)"
}
links() { find "$root/etc/systemd/system" -name '*.service' -path '*.wants/*' -printf '%P\n' 2>/dev/null |
    grep -i norv | sort | tr '\n' ' '; }
enabled="multi-user.target.wants/NORVpong.service multi-user.target.wants/norvd.service "
[ -z "$machine_group" ] || in_root groupdel norv || fail "cannot drop the group norv in the root"

dpkg_in_root install -i "/norv-debs/${libpkg}_${version}_$arch.deb" "/norv-debs/libnorv-dev_${version}_$arch.deb" \
    "/norv-debs/norv_${version}_$arch.deb"
invoked install "deb-systemd-invoke start norvd.service NORVpong.service"
[ "$(links)" = "$enabled" ] || fail "install: enabled: $(links)"
one_system_group "install, with addgroup"
in_root ldconfig -p | grep -q "libnorv\.so\.$major .*=> /.*/libnorv\.so\.$major$" ||
    fail "the linker cache lacks libnorv.so.$major: $(in_root ldconfig -p | grep norv)"
cat >"$root/norv-debs/version.c" <<'EOF'
#include <norv.h>
#include <stdio.h>
#include <string.h>
int main(void) { printf("%s\n", NORVversion()); return strcmp(NORVversion(), NORV_VERSION) != 0; }
EOF
in_root sh -c 'cd /norv-debs && cc -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags norv) -o version version.c $(pkg-config --libs norv)' \
    >"$T/cc.log" 2>&1 || fail "a C program does not build with pkg-config: $(cat "$T/cc.log")"
[ "$(in_root /norv-debs/version)" = "$major.$minor" ] || fail "the program printed $(in_root /norv-debs/version)"
in_root ldd /norv-debs/version | grep -q "libnorv\.so\.$major => /" ||
    fail "the program does not load the installed library: $(in_root ldd /norv-debs/version)"

# An upgrade (the same version again): the units restart; and with groupadd
# alone, where addgroup is missing, the group is made once more.
dpkg_in_root upgrade -i "/norv-debs/norv_${version}_$arch.deb"
invoked upgrade "deb-systemd-invoke restart norvd.service NORVpong.service"
one_system_group "upgrade, the group there"
in_root groupdel norv || fail "cannot drop the group norv in the root"
rm -f "$root/usr/sbin/addgroup"
dpkg_in_root groupadd -i "/norv-debs/norv_${version}_$arch.deb"
one_system_group "upgrade, with groupadd alone"
[ "$(links)" = "$enabled" ] || fail "upgrade: enabled: $(links)"

dpkg_in_root remove -r norv
invoked remove "deb-systemd-invoke stop NORVpong.service norvd.service"
[ -f "$root/etc/norv/norvd.conf" ] || fail "remove: the conffile is gone"
dpkg_in_root purge -P norv
[ ! -s "$T/purge.calls" ] || fail "purge: $(cat "$T/purge.calls")"
[ -z "$(links)" ] || fail "purge: links left: $(links)"
! ls "$root"/var/lib/systemd/deb-systemd-helper-enabled/*norv* >/dev/null 2>&1 ||
    fail "purge: enablement state left: $(ls "$root"/var/lib/systemd/deb-systemd-helper-enabled)"
[ ! -e "$root/etc/norv/norvd.conf" ] || fail "purge: the conffile is left"

[ "$(getent group norv || true)" = "$machine_group" ] || fail "the maintainer scripts reached the machine's /etc/group"
[ "$(dpkg-query -W -f '${Status}' norv 2>/dev/null || true)" = "$machine_norv" ] ||
    fail "the machine's dpkg database changed for norv"
umount -R "$root"
umount "$T/layers"

pass "$(cd "$T/out" && ls | tr '\n' ' ')lintian-clean; installed, upgraded, removed and purged; norv Depends: $depends"
