#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a small program of
# another project against it, through the CMake package (shared and static
# library) and through pkg-config; each program's output is compared.
# Usage: install_consumer.sh BUILD_DIR CONSUMER_SOURCE_DIR C_COMPILER LIBDIR
set -euo pipefail
build=$1 source=$2 cc=$3 libdir=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }

for f in bin/Zandrel "$libdir/libKelvane_LiDAR.so" "$libdir/libKelvane_LiDAR.so.1" \
         "$libdir/libKelvane_LiDAR.so.1.0.0" "$libdir/libKelvane_LiDAR.a" include/Kelvane_LiDAR.h \
         "$libdir/cmake/Kelvane_LiDAR/Kelvane_LiDARConfig.cmake" \
         "$libdir/cmake/Kelvane_LiDAR/Kelvane_LiDARConfigVersion.cmake" \
         "$libdir/cmake/Kelvane_LiDAR/Kelvane_LiDARTargets.cmake" \
         "$libdir/pkgconfig/kelvane_lidar.pc"; do
    [ -e "$prefix/$f" ] || fail "$f not installed"
done
[ -L "$prefix/$libdir/libKelvane_LiDAR.so" ] || fail "libKelvane_LiDAR.so is not a link"
[ "$(readlink "$prefix/$libdir/libKelvane_LiDAR.so.1")" = libKelvane_LiDAR.so.1.0.0 ] || fail "soname link"

# The installed tool runs: without arguments it prints its usage and fails.
set +e
"$prefix/bin/Zandrel" >"$work/usage.txt"
status=$?
set -e
[ "$status" -eq 255 ] || fail "Zandrel without arguments exited with $status"
grep -q 'Zandrel <ASCII List> <LAS Output>' "$work/usage.txt" || fail "Zandrel usage text"

expected=$'1:3 1:1 2:4 2:0 2:2 \nY gives 0\n\nASCII Header Flag should be either Y (y) or N (n)\nmaybe gives -1'
check_output() {
    local program=$1 out
    out=$("$@") || fail "$program exited with $?"
    [ "$out" = "$expected" ] || fail "$program printed:"$'\n'"$out"
}

cmake -S "$source" -B "$work/consumer" -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$work/consumer" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
check_output "$work/consumer/consumer_shared"
check_output "$work/consumer/consumer_static"
# The shared consumer uses the installed library, not the build tree's.
# (ldd's output is captured first: grep -q may stop reading early, and under
# pipefail ldd's SIGPIPE would fail the check.)
loaded=$(ldd "$work/consumer/consumer_shared")
grep -q "$prefix/$libdir/libKelvane_LiDAR.so.1" <<<"$loaded" ||
    { echo "$loaded"; fail "consumer_shared does not load the installed library"; }

export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[ "$(pkg-config --modversion kelvane_lidar)" = 1.0.0 ] || fail "pkg-config version"
# shellcheck disable=SC2046
"$cc" -Wall -Wextra -Werror -o "$work/pc_consumer" "$source/main.c" $(pkg-config --cflags --libs kelvane_lidar) ||
    fail "pkg-config build"
LD_LIBRARY_PATH=$prefix/$libdir check_output "$work/pc_consumer"
# shellcheck disable=SC2046
"$cc" -o "$work/pc_static" "$source/main.c" $(pkg-config --cflags kelvane_lidar) \
    "$prefix/$libdir/libKelvane_LiDAR.a" $(pkg-config --libs-only-l --static kelvane_lidar | sed 's/-lKelvane_LiDAR//') ||
    fail "pkg-config static build"
check_output "$work/pc_static"
echo "install layout and consumers: ok"
