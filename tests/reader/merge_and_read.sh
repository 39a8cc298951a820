#!/usr/bin/env bash
# Merges generated LAS files of every accepted version and point format, and
# the mergeable groups of real third-party files, with Zandrel, then has an
# independent LAS reader (check_merge.mjs) compare each output with its inputs.
#
#   merge_and_read.sh ZANDREL LASGEN SCRATCH_DIR
#
# Exit status 77 (skipped) when node or the reader's node_modules is missing.
set -u
zandrel=$1 lasgen=$2 scratch=$3
here=$(cd "$(dirname "$0")" && pwd)
testdata=$here/../../../shared/testdata/las

if ! command -v node >/dev/null 2>&1; then
  echo "SKIP: node is not installed"
  exit 77
fi
if [ ! -d "$here/node_modules/@loaders.gl/las" ]; then
  echo "SKIP: the reader is not installed (run: npm ci --prefix $here)"
  exit 77
fi

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
failures=0 merges=0

# merge NAME INPUT...: lists the inputs, merges them and checks the output.
merge() {
  local name=$1
  shift
  local list=$scratch/$name.txt out=$scratch/$name.las
  printf '%s\n' "$@" >"$list"
  if ! "$zandrel" "$list" "$out" >"$scratch/$name.stdout"; then
    echo "FAIL $name: Zandrel refused the merge:"
    tail -n 3 "$scratch/$name.stdout"
    failures=$((failures + 1))
    return
  fi
  merges=$((merges + 1))
  node "$here/check_merge.mjs" "$out" "$@" || failures=$((failures + 1))
}

gen() { "$lasgen" --out "$@" || exit 1; }

# Generated files: every version and format, the first input with a
# variable-length record (and the CC DD signature in LAS 1.0), an empty input
# in the middle, and the first file listed again at the end.
for vf in 1.0/0 1.0/1 1.1/0 1.1/1 1.2/0 1.2/1 1.2/2 1.2/3; do
  v=${vf%/*} f=${vf#*/} base=$scratch/gen_v${v/./}_f$f
  extra=(--vlr-bytes 120)
  [ "$v" = 1.0 ] && extra+=(--signature)
  gen "${base}_a.las" --version "$v" --format "$f" --points 2500 --seed 11 "${extra[@]}"
  gen "${base}_b.las" --version "$v" --format "$f" --points 0 --seed 12
  gen "${base}_c.las" --version "$v" --format "$f" --points 1700 --seed 13 --vlr-bytes 40
  merge "gen_v${v/./}_f$f" "${base}_a.las" "${base}_b.las" "${base}_c.las" "${base}_a.las"
done

# Real files, by group of equal version, format, scales and offsets; only
# files whose header count matches the records they hold.
if [ -d "$testdata" ]; then
  groups=(
    "A v10_f0 v10_f0_novlr"
    "B v10_f1 v10_f1_novlr v10_f1_terrascan"
    "C v11_f0 v11_f0_novlr"
    "D v11_f1 v11_f1_novlr v11_f1_simple"
    "E v12_f0 v12_f0_novlr v12_f0_autzen1065"
    "F v12_f1 v12_f1_novlr v12_f1_autzen1065 v12_f1_autzen106 v12_f1_autzen106_gap787"
    "G v12_f2 v12_f2_novlr v12_f2_autzen1065"
    "H v12_f3 v12_f3_novlr v12_f3_100pts v12_f3_utm17_10pts v12_f3_offgrid_extent v12_f3_thin1 v12_f3_thin2 v12_f3_tile1 v12_f3_tile2 v12_f3_tile3 v12_f3_simple v12_f3_simple_pad2 v12_f3_thin_all v12_f3_autzen1065"
    "thin v12_f3_thin1 v12_f3_thin2"
  )
  for g in "${groups[@]}"; do
    read -r -a words <<<"$g"
    files=()
    for w in "${words[@]:1}"; do files+=("$testdata/$w.las"); done
    merge "real_${words[0]}" "${files[@]}"
  done
else
  echo "note: $testdata is absent; real files not merged"
fi

echo "$merges merges read back, $failures failed"
[ "$failures" -eq 0 ]
