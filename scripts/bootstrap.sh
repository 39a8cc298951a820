#!/usr/bin/env bash
# One-step set-up, build and run on a Debian machine.
#   scripts/bootstrap.sh demo   build, make sample tiles, merge them, show the result
#   scripts/bootstrap.sh test   build and run every test suite
# Missing prerequisites are installed with apt-get when running as root;
# otherwise the script says which packages to install.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}
case "$mode" in demo|test) ;; *) echo "usage: $0 demo|test" >&2; exit 2 ;; esac

# package:file-that-shows-it-is-installed
base=(cmake:/usr/bin/cmake g++:/usr/bin/g++ make:/usr/bin/make)
testing=(libgtest-dev:/usr/include/gtest/gtest.h clang:/usr/bin/clang libclang-rt-14-dev:/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a
         binutils:/usr/bin/nm time:/usr/bin/time python3:/usr/bin/python3
         nodejs:/usr/bin/node npm:/usr/bin/npm
         g++-mingw-w64-x86-64-posix:/usr/bin/x86_64-w64-mingw32-g++-posix
         g++-mingw-w64-i686-posix:/usr/bin/i686-w64-mingw32-g++-posix
         wine:/usr/bin/wine wine64:/usr/lib/wine/wine64)
wanted=("${base[@]}")
[ "$mode" = test ] && wanted+=("${testing[@]}")
missing=()
for entry in "${wanted[@]}"; do
  pkg=${entry%%:*}; file=${entry#*:}
  # npm may come with the machine's own Node.js rather than Debian's.
  if [ "$pkg" = nodejs ] && command -v node >/dev/null; then continue; fi
  if [ "$pkg" = npm ] && command -v npm >/dev/null; then continue; fi
  [ -e "$file" ] || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

if [ "$mode" = demo ]; then
  cmake --preset demo >/dev/null
  cmake --build --preset demo
  bin=build/demo
  demo=build/demo/sample
  rm -rf "$demo"; mkdir -p "$demo"
  # Four adjoining tiles of one survey: same format, scales and offsets.
  for i in 1 2 3 4; do
    "$bin/lasgen" --out "$demo/tile$i.las" --points $((20000 * i)) --seed "$i" \
      --scale 0.01,0.01,0.01 --offset 500000,4000000,0 --vlr-bytes 64
  done
  printf '%s\n' "$demo"/tile{1,2,3,4}.las > "$demo/tiles.txt"
  "$bin/Zandrel" "$demo/tiles.txt" "$demo/merged.las"
  echo
  echo
  echo "Merged header:"
  "$bin/lashdr" "$demo/merged.las"
  exit 0
fi

# The full suite: Release, then everything again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the fuzz smoke run, the independent reader
# and the Windows build under Wine.
if [ -f tests/reader/package-lock.json ]; then
  (cd tests/reader && npm ci --no-audit --no-fund --loglevel=error)
fi
cmake --workflow --preset release
cmake --workflow --preset asan
for extra in .ci/fuzz.sh .ci/windows.sh; do
  [ -x "$extra" ] && "$extra"
done
echo "All test suites passed"
