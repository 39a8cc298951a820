#!/usr/bin/env bash
# Windows builds: cross-compiles the module, Zandrel and lasgen with MinGW-w64
# for 64-bit and 32-bit Windows (tests off: the GoogleTest suite is
# POSIX-only), checks that Zandrel.exe exports the module's twenty routines,
# and runs the 64-bit Zandrel.exe under wine against the Linux build on the
# same cases (tests/windows/run_e2e.sh). The 32-bit build is compiled only.
#
# Skips with a message (exit 0) when the MinGW-w64 compilers or wine are
# missing; they come from the Debian packages g++-mingw-w64-x86-64-posix,
# g++-mingw-w64-i686-posix, wine and wine64.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZANDREL_WINDOWS_BUILD:-$root/build}
wine=${WINE:-/usr/lib/wine/wine64}
jobs=${JOBS:-2}

missing=()
for tool in x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
[ -x "$wine" ] || missing+=("$wine")
if [ ${#missing[@]} -gt 0 ]; then
  echo "SKIP windows: missing ${missing[*]}"
  echo "  (apt-get install g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64)"
  exit 0
fi

started=$SECONDS
for arch in x86_64:mingw64 i686:mingw32; do
  toolchain=${arch%%:*} dir=$build/${arch##*:}
  echo "== Windows build $toolchain in $dir"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZANDREL_BUILD_TESTS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-$toolchain.cmake" \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
  cmake --build "$dir" -j"$jobs" --target Zandrel lasgen Kelvane_LiDAR Kelvane_LiDAR_static
done

echo "== Export tables of Zandrel.exe and the DLL"
routines="file_access check_file_extension error_msg check_las credits update_header initialize_header10
  initialize_header11 initialize_header12 l_qs l_quicksort d_qs d_quicksort l_parallel_qs l_parallel_quicksort
  d_parallel_qs d_parallel_quicksort check_numeric_argument check_DEM check_YN"
expected=$(printf '%s\n' $routines | sort)
for arch in x86_64:mingw64 i686:mingw32; do
  for binary in Zandrel.exe libKelvane_LiDAR.dll; do
    file=$build/${arch##*:}/$binary
    exports=$("${arch%%:*}-w64-mingw32-objdump" -p "$file" |
      sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]*\[ *[0-9]+\]/ {print $NF}' | sort)
    if [ "$exports" != "$expected" ]; then
      echo "FAIL: ${arch##*:}/$binary exports:"
      echo "$exports"
      exit 1
    fi
    # Linked statically: nothing but system DLLs to carry along.
    imports=$("${arch%%:*}-w64-mingw32-objdump" -p "$file" | awk '/DLL Name:/ {print $3}' | sort | tr '\n' ' ')
    if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
      echo "FAIL: ${arch##*:}/$binary imports $imports"
      exit 1
    fi
    echo "ok ${arch##*:}/$binary exports the $(echo "$expected" | wc -l) routines and needs only $imports"
  done
done

echo "== Linux build for the comparison"
native=$build/clients
cmake -S "$root" -B "$native" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$native" -j"$jobs" --target Zandrel lasgen

echo "== Linux Zandrel and Zandrel.exe under wine on the same cases"
WINE=$wine WINEPREFIX=${WINEPREFIX:-$build/mingw64/wine} \
  bash "$root/tests/windows/run_e2e.sh" "$native/Zandrel" "$native/lasgen" "$build/mingw64/Zandrel.exe" \
  "$build/mingw64/e2e"
echo "windows checks took $((SECONDS - started)) s"
