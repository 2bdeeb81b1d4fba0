# The configure steps a user meets (configure only; nothing is built), one row
# each: the tree alone without GoogleTest goes through and leaves the tests
# out with a message; the tree taken in by another project with
# add_subdirectory gives it norv::norv and norv::norv_static and none of our
# tests or installs.
source "$(dirname "$0")/common.sh"
command -v cmake >/dev/null || skip "cmake is not installed"
src=$(cd "$(dirname "$0")/../.." && pwd)

# configure NAME SOURCE ARGS...: configures SOURCE into $T/NAME; log in $T/NAME.log.
configure() {
    local name=$1 source=$2; shift 2
    cmake -S "$source" -B "$T/$name" "$@" >"$T/$name.log" 2>&1 ||
        fail "$name: the configure failed: $(cat "$T/$name.log")"
}
tests_of() { ctest --test-dir "$T/$1" -N | sed -n 's/^Total Tests: //p'; }

configure without-gtest "$src" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
grep -q 'GoogleTest not found: the tests are left out' "$T/without-gtest.log" ||
    fail "without-gtest: no message about the tests: $(cat "$T/without-gtest.log")"
[ "$(tests_of without-gtest)" = 0 ] || fail "without-gtest: $(tests_of without-gtest) tests registered"

mkdir "$T/parent"
cat >"$T/parent/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(parent LANGUAGES C CXX)
enable_testing()
add_subdirectory("$src" norv)
add_executable(uses_shared "$src/examples/timed_echo.c")
target_link_libraries(uses_shared PRIVATE norv::norv)
add_executable(uses_static "$src/examples/timed_echo.c")
target_link_libraries(uses_static PRIVATE norv::norv_static)
CMAKE
configure subproject "$T/parent"
[ "$(tests_of subproject)" = 0 ] || fail "subproject: $(tests_of subproject) of our tests registered"
installs=$(grep -rl 'file(INSTALL' "$T/subproject" --include=cmake_install.cmake || true)
[ -z "$installs" ] || fail "subproject: our install rules came along: $installs"
pass "without GoogleTest: configured, tests left out; as a subproject: norv::norv, no tests"
