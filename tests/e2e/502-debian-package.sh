# The Debian package as scripts/package builds it, from a copy of this tree:
# its files (dpkg-deb -c), control data (dpkg-deb -I, -e) and maintainer
# script. The manual pages of the programs and of the library are expected by
# name, and any other page of man/ as well, each installed as it is; the
# units of dist/ with their install paths filled in, and dist/norvd.conf as
# /etc/norv/norvd.conf, a conffile. The package is never installed: its
# postinst runs in this test's private mount namespace, over an overlay of
# /etc that vanishes with it.
source "$(dirname "$0")/common.sh"
for tool in cmake make g++ cpack dpkg-deb dpkg-shlibdeps file getent; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
isolate

src=$(cd "$(dirname "$0")/../.." && pwd)
tree=$T/src
mkdir "$tree"
(cd "$src" && tar -cf - --exclude='./build*' --exclude=./out --exclude=./.git .) | tar -xf - -C "$tree"

NORV_PACKAGE_BUILD_DIR=$T/build bash "$tree/scripts/package" "$T/out" >"$T/package.log" 2>&1 ||
    fail "scripts/package failed: $(tail -30 "$T/package.log")"
debs=("$T"/out/*.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || fail "packages made: ${debs[*]}"
deb=${debs[0]}

# ---- Files: exactly what is expected, nothing else ----
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$T/files"
pc=$(grep '/pkgconfig/norv\.pc$' "$T/files") || fail "no norv.pc: $(cat "$T/files")"
lib=${pc%/pkgconfig/norv.pc}
[[ $lib =~ ^\./usr/lib(/[a-z0-9_]+-linux-[a-z0-9_]+)?$ ]] || fail "library folder $lib"
pages=(NORVping.1 NORVpong.1 featgen.1 libnorv.3)
for page in "$tree"/man/*.[1-8]; do
    name=$(basename "$page")
    [[ " ${pages[*]} " == *" $name "* ]] || pages+=("$name")
done
major=$(sed -n 's/^#define NORV_VERSION_MAJOR \([0-9]*\)$/\1/p' "$tree/include/norv.h")
minor=$(sed -n 's/^#define NORV_VERSION_MINOR \([0-9]*\)$/\1/p' "$tree/include/norv.h")
{
    printf '%s\n' ./usr/bin/NORVping ./usr/bin/NORVpong ./usr/bin/featgen ./usr/bin/norvctl ./usr/sbin/norvd \
        ./usr/include/norv.h "$pc" "$lib/libnorv.a" "$lib/libnorv.so" "$lib/libnorv.so.$major" \
        "$lib/libnorv.so.$major.$minor" "$lib/cmake/norv/norvConfig.cmake" \
        "$lib/cmake/norv/norvConfigVersion.cmake" "$lib/cmake/norv/norvTargets.cmake" \
        "$lib/cmake/norv/norvTargets-CONFIG.cmake" ./etc/norv/norvd.conf \
        ./usr/lib/systemd/system/norvd.service ./usr/lib/systemd/system/NORVpong.service
    for name in "${pages[@]}"; do
        echo "./usr/share/man/man${name##*.}/$name"
    done
} | sort >"$T/expected"
sed 's/norvTargets-[a-z]*\.cmake$/norvTargets-CONFIG.cmake/' "$T/files" | sort >"$T/found"
diff "$T/expected" "$T/found" >"$T/files.diff" ||
    fail "package files differ from those expected (< missing, > unexpected): $(cat "$T/files.diff")"
dpkg-deb -c "$deb" | grep -q "$lib/libnorv.so.$major -> libnorv.so.$major.$minor$" ||
    fail "libnorv.so.$major is no link to libnorv.so.$major.$minor"

# The units are installed with the install paths filled in.
dpkg-deb --fsys-tarfile "$deb" | tar -xf - -C "$T" ./usr ./etc
grep -qx 'ExecStart=/usr/sbin/norvd -f /etc/norv/norvd.conf' "$T/usr/lib/systemd/system/norvd.service" ||
    fail "norvd.service: $(grep Exec "$T/usr/lib/systemd/system/norvd.service")"
grep -qx 'ExecStart=/usr/bin/NORVpong' "$T/usr/lib/systemd/system/NORVpong.service" ||
    fail "NORVpong.service: $(grep Exec "$T/usr/lib/systemd/system/NORVpong.service")"
for name in "${pages[@]}"; do
    cmp -s "$T/usr/share/man/man${name##*.}/$name" "$tree/man/$name" || fail "$name is not man/$name"
done
grep -qx 'prefix=/usr' "$T/$pc" || fail "norv.pc: $(cat "$T/$pc")"
cmp -s "$T/etc/norv/norvd.conf" "$tree/dist/norvd.conf" || fail "norvd.conf is not dist/norvd.conf"

# ---- Control data ----
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = norv ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$major.$minor-1" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
depends=$(field Depends)
for needed in 'adduser | passwd' 'libc6 (>= ' 'libstdc++6 (>= '; do
    [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
dpkg-deb -e "$deb" "$T/control"
[ -x "$T/control/postinst" ] || fail "no executable postinst: $(ls -l "$T/control")"
[ "$(cat "$T/control/conffiles")" = /etc/norv/norvd.conf ] ||
    fail "conffiles: $(cat "$T/control/conffiles" 2>&1)"
grep -qx "libnorv $major norv (>= $major.$minor-1)" "$T/control/shlibs" ||
    fail "shlibs: $(cat "$T/control/shlibs" 2>&1)"

# ---- postinst: creates the system group norv once, with addgroup and with
# groupadd alone, over an overlay of /etc that this namespace alone sees ----
machine_group=$(getent group norv || true)
overlay=$T/overlay
mkdir "$overlay"
mount -t tmpfs norv-etc "$overlay" || fail "no tmpfs for the overlay of /etc"
# postinst_twice NAME PATH: over a fresh overlay of /etc, runs postinst
# configure twice with PATH; there is then exactly one group norv, a system one.
# (A failure ends the namespace, and its mounts with it.)
postinst_twice() {
    local name=$1 path=$2 run line count
    mkdir -p "$overlay/$name/up" "$overlay/$name/work"
    mount -t overlay overlay \
        -o "lowerdir=/etc,upperdir=$overlay/$name/up,workdir=$overlay/$name/work" /etc ||
        fail "cannot overlay /etc"
    # A machine that has the group already: the overlay starts without it.
    [ -z "$machine_group" ] || groupdel norv || fail "cannot drop the group norv"
    for run in 1 2; do
        PATH=$path /bin/sh "$T/control/postinst" configure >"$T/postinst-$name.log" 2>&1 ||
            fail "postinst ($name, run $run) failed: $(cat "$T/postinst-$name.log")"
    done
    line=$(getent group norv)
    count=$(grep -c '^norv:' /etc/group)
    umount /etc
    [ "$count" = 1 ] || fail "postinst ($name): $count lines for the group norv"
    local gid
    gid=$(cut -d: -f3 <<<"$line")
    [ -n "$gid" ] && [ "$gid" -lt 1000 ] || fail "postinst ($name): not a system group: $line"
    echo "postinst with $name: $line"
}
mkdir "$T/without-addgroup"
for tool in getent groupadd ldconfig; do
    ln -s "$(command -v "$tool")" "$T/without-addgroup/$tool"
done
if command -v addgroup >/dev/null; then
    postinst_twice addgroup "$PATH"
fi
postinst_twice groupadd "$T/without-addgroup"
[ "$(getent group norv || true)" = "$machine_group" ] || fail "the postinst reached the machine's /etc/group"
umount "$overlay"

pass "$(basename "$deb"): $(wc -l <"$T/found") files as expected, Depends: $depends"
