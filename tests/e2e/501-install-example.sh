# A program of a user's, built as a user builds it: the project is installed
# into a staging tree (DESTDIR), examples/timed_echo is built from a copy of
# examples/ once with its Makefile (pkg-config) and once with its
# CMakeLists.txt (find_package(norv)), each finding the library only in the
# staging tree, and both run against the staged norvd and NORVpong: each
# prints an estimate with its error bound and a verdict on machine 0.
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/service_common.sh"
have "$NORVD"; have "$NORVPONG"
for tool in cmake make cc pkg-config ldd; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
isolate

src=$(cd "$(dirname "$0")/../.." && pwd)
cache() { sed -n "s/^$1:[A-Z]*=//p" "$NORV_BIN/CMakeCache.txt"; }
[ "$(cache NORV_INSTALL)" != OFF ] || skip "configured with NORV_INSTALL=OFF"
prefix=$(cache CMAKE_INSTALL_PREFIX)
stage=$T/stage
DESTDIR=$stage cmake --install "$NORV_BIN" >"$T/install.log" 2>&1 ||
    fail "cmake --install failed: $(cat "$T/install.log")"

# What a program sees of the library: norv.h alone, a shared library with its
# SONAME, norv.pc and the CMake package.
pc=$(find "$stage" -name norv.pc)
[ -n "$pc" ] || fail "no norv.pc installed"
libdir=$(dirname "$(dirname "$pc")")
headers=$(cd "$stage$prefix/include" && find . -type f | sort | tr '\n' ' ')
[ "$headers" = "./norv.h " ] || fail "installed headers: $headers (norv.h alone expected)"
[ -L "$libdir/libnorv.so" ] && [ -L "$libdir/libnorv.so.0" ] && [ -f "$libdir/libnorv.a" ] ||
    fail "libraries installed: $(ls "$libdir")"
[ -f "$libdir/cmake/norv/norvConfig.cmake" ] || fail "no norvConfig.cmake in $libdir/cmake/norv"

# The example is built with the flags the project was built with where they
# change the ABI or need a runtime (32-bit, sanitizers), and as strict C99.
flags="-Wall -Wextra -Werror"
[ "$(cache NORV_M32)" = ON ] && flags="$flags -m32"
sanitize=$(cache NORV_SANITIZE)
[ -n "$sanitize" ] && flags="$flags -fsanitize=$sanitize"

cp -r "$src/examples" "$T/pc"
PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_SYSROOT_DIR=$stage \
    make -C "$T/pc" CFLAGS="-std=c99 -pedantic $flags" LDFLAGS="$flags" >"$T/pc.log" 2>&1 ||
    fail "make with pkg-config failed: $(cat "$T/pc.log")"

cp -r "$src/examples" "$T/cm"
cmake -S "$T/cm" -B "$T/cm/build" -DCMAKE_PREFIX_PATH="$stage$prefix" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$T/cm.log" 2>&1 &&
    cmake --build "$T/cm/build" >>"$T/cm.log" 2>&1 ||
    fail "the build with find_package(norv) failed: $(cat "$T/cm.log")"
grep -qx "norv_DIR:PATH=$libdir/cmake/norv" "$T/cm/build/CMakeCache.txt" ||
    fail "find_package(norv) found $(grep norv_DIR "$T/cm/build/CMakeCache.txt")"

# The staged programs serve the examples.
NORVD=$stage$prefix/sbin/norvd
NORVPONG=$stage$prefix/bin/NORVpong
start_norvd
start_pong

export LD_LIBRARY_PATH=$libdir
for build in pc/timed_echo cm/build/timed_echo; do
    name=${build%%/*}
    ldd "$T/$build" | grep -q "libnorv.so.0 => $libdir/libnorv.so.0 " ||
        fail "$build does not load the staged library: $(ldd "$T/$build")"
    status=0
    timeout 60 "$T/$build" 127.0.0.1 >"$T/$name.out" 2>"$T/$name.err" || status=$?
    [ "$status" = 0 ] || fail "$build ended with $status: $(cat "$T/$name.out" "$T/$name.err")"
    grep -qE '^answer from 127\.0\.0\.1: estimate [0-9]+ us, error bound [0-9]+ us$' "$T/$name.out" ||
        fail "$build printed no estimate with its bound: $(cat "$T/$name.out")"
    grep -qE '^  machine 0: (timely|timing failure), lateness -?[0-9]+$' "$T/$name.out" ||
        fail "$build printed no verdict on machine 0: $(cat "$T/$name.out")"
    ! grep -qE '^  machine [1-4]:' "$T/$name.out" ||
        fail "$build printed a verdict on a machine outside the group: $(cat "$T/$name.out")"
    grep -E '^(answer|  machine)' "$T/$name.out" | sed "s/^/$name: /"
done
pass "timed_echo built with pkg-config and with find_package(norv) against the staged install"
