#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# over a seed corpus made with lasgen (and the kept crash regressions).
#   .ci/fuzz.sh [BUILD_DIR] [SECONDS_PER_TARGET]
# Exits non-zero when a target finds a crash, leak, timeout or broken
# invariant; the input that did it is left in BUILD_DIR/artifacts/.
set -euo pipefail

src="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$src/build/fuzz}"
seconds="${2:-15}"
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DZANDREL_BUILD_TESTS=OFF -DZANDREL_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" -j2 --target lasgen fuzz_check_las fuzz_update_header fuzz_header_merge fuzz_name_reader

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

seeds="$build/seeds"
rm -rf "$seeds" "$build/corpus"
mkdir -p "$seeds/las" "$build/artifacts"
gen() { "$build/lasgen" --out "$seeds/las/$1" "${@:2}"; }
for v in 1.0 1.1 1.2; do
  for f in 0 1 2 3; do gen "v${v}_f$f.las" --version "$v" --format "$f" --points 3 --seed "$f"; done
done
gen vlr.las --points 2 --vlr-bytes 40 --signature
gen signature.las --version 1.0 --format 1 --points 2 --signature
gen empty.las --points 0
gen offset.las --points 4 --scale 0.001,0.001,0.001 --offset 100,200,300

mkdir -p "$build/corpus/check_las" "$build/corpus/update_header" "$build/corpus/header_merge" "$build/corpus/name_reader"
cp "$seeds"/las/*.las "$build/corpus/check_las/"
cp "$seeds"/las/*.las "$build/corpus/update_header/"
# header_merge: files as the target cuts them, a length byte then the bytes.
piece() { local n=$(( $(stat -c %s "$1") - 227 )); [ "$n" -gt 255 ] && n=255; printf "\\x$(printf %02x "$n")"; head -c $((227 + n)) "$1"; }
{ piece "$seeds/las/vlr.las"; piece "$seeds/las/v1.2_f3.las"; } > "$build/corpus/header_merge/vlr_then_plain"
{ piece "$seeds/las/empty.las"; piece "$seeds/las/offset.las"; piece "$seeds/las/v1.2_f0.las"; } > "$build/corpus/header_merge/three"
{ piece "$seeds/las/signature.las"; piece "$seeds/las/v1.0_f1.las"; } > "$build/corpus/header_merge/signature"
printf 'a.las\nb.las\n' > "$build/corpus/name_reader/plain"
printf '  a.las\t\r\nsub/b c.las\v\f' > "$build/corpus/name_reader/spaces"
printf 'a.las\n\000b.las\n' > "$build/corpus/name_reader/nul"
printf '\303\251.las \377.las' > "$build/corpus/name_reader/bytes"

status=0
for target in check_las update_header header_merge name_reader; do
  dirs=("$build/corpus/$target")
  [ -d "$src/fuzz/regressions/$target" ] && dirs+=("$src/fuzz/regressions/$target")
  log="$build/fuzz_$target.log"
  if "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$build/artifacts/$target-" "${dirs[@]}" >"$log" 2>&1; then
    echo "fuzz_$target: $(grep -E '^Done [0-9]+ runs' "$log" | tail -1)"
  else
    echo "fuzz_$target: FAILED (see $log)"; tail -40 "$log"; status=1
  fi
done
exit $status
