#!/usr/bin/env bash
# Builds Zandrel in Release with the benchmarks, times the merge, the header
# rewrite and the sorts against their physical references (cat of the same
# bytes, a plain sequential read, std::sort of pairs), and prints one table.
#
#   bench/run.sh [--quick] [--reps N] [--disk-dir DIR]
#
# --quick   smaller inputs and one repetition: a smoke test of the script
# --reps N  repetitions per case (default 5; the 5 GiB case uses at most 3)
# --disk-dir DIR  where the on-disk cases run (default /var/tmp; not tmpfs)
#
# Each case runs with a warm page cache, alternating the tool and its
# reference, once on disk and once on /dev/shm. Ratios are medians of the
# per-repetition ratios tool / reference; below 1 the tool is faster.
set -euo pipefail

QUICK=0
REPS=5
DISK_BASE=/var/tmp
while [[ $# -gt 0 ]]; do
    case $1 in
    --quick) QUICK=1; REPS=1 ;;
    --reps) REPS=$2; shift ;;
    --disk-dir) DISK_BASE=$2; shift ;;
    *) echo "usage: $0 [--quick] [--reps N] [--disk-dir DIR]" >&2; exit 2 ;;
    esac
    shift
done

SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$SRC/build/bench
echo "Building Release in $BUILD" >&2
cmake -S "$SRC" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DZANDREL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$BUILD" -j2 --target Zandrel lasgen sort_bench update_header_driver copy_bench >/dev/null
ZANDREL=$BUILD/Zandrel
LASGEN=$BUILD/lasgen
SORT_BENCH=$BUILD/bench/sort_bench
UPDATE_HEADER=$BUILD/bench/update_header_driver
COPY_BENCH=$BUILD/bench/copy_bench

if [[ $(stat -f -c %T "$DISK_BASE") == tmpfs ]]; then
    echo "$DISK_BASE is tmpfs; pass --disk-dir with a folder on disk" >&2
    exit 2
fi
DISK=$(mktemp -d "$DISK_BASE/zandrel-bench.XXXXXX")
SHM=$(mktemp -d /dev/shm/zandrel-bench.XXXXXX)
RESULTS=$(mktemp "${TMPDIR:-/tmp}/zandrel-bench-results.XXXXXX")
trap 'rm -rf "$DISK" "$SHM" "$RESULTS"' EXIT
trap 'exit 130' INT TERM

MIB=$((1 << 20))
RECORD=34  # point format 3
if [[ $QUICK == 1 ]]; then
    BIG_POINTS=$((16 * MIB / RECORD)); BIG_FILES=8
    SMALL_FILES=500
    UH_POINTS=$((64 * MIB / RECORD))
    COPY_MIB=128
else
    BIG_POINTS=$((256 * MIB / RECORD)); BIG_FILES=8
    SMALL_FILES=10000
    UH_POINTS=$((1024 * MIB / RECORD))
    COPY_MIB=2048
fi
SPARSE_POINTS=$((2560 * MIB / RECORD))
SMALL_POINTS=1000

# Runs a command with stdout to $1 under /usr/bin/time -v; prints
# "<wall seconds> <max RSS KiB>".
timed() {
    local stdout=$1; shift
    local tf; tf=$(mktemp "${TMPDIR:-/tmp}/zandrel-time.XXXXXX")
    local t0 t1
    t0=$(date +%s%N)
    /usr/bin/time -v -o "$tf" "$@" >"$stdout"
    t1=$(date +%s%N)
    local rss; rss=$(awk '/Maximum resident set size/ {print $NF}' "$tf")
    rm -f "$tf"
    echo "$(( (t1 - t0) / 1000 ))e-6 $rss"
}

# Appends one repetition: case, place, bytes, points, tool time, tool RSS,
# reference time, reference RSS.
record() { echo "$*" >>"$RESULTS"; }

# Writes point format 3 files: gen FOLDER COUNT POINTS [--sparse]
gen() {
    local dir=$1 count=$2 points=$3; shift 3
    mkdir -p "$dir"
    for ((i = 0; i < count; ++i)); do
        "$LASGEN" --out "$(printf '%s/%05d.las' "$dir" "$i")" --format 3 --points "$points" --seed $((i + 1)) "$@" >/dev/null
    done
}

warm() { cat "$@" >/dev/null; }

# One merge case: merge_case NAME PLACE FOLDER POINTS_TOTAL REPS REF_FILES...
# The inputs are FOLDER/in/*.las; the reference concatenates REF_FILES.
merge_case() {
    local name=$1 place=$2 dir=$3 points=$4 reps=$5; shift 5
    local refs=("$@")
    local inputs=("$dir"/in/*.las)
    printf '%s\n' "${inputs[@]}" >"$dir/list.txt"
    warm "${inputs[@]}"
    warm "${refs[@]}"
    local out=$dir/merged.las ref_out=$dir/reference.bin
    local bytes=$((points * RECORD))
    for ((r = 0; r < reps; ++r)); do
        local tool ref
        if ((r % 2 == 0)); then
            tool=$(merge_once "$dir/list.txt" "$out")
            if ((r == 0)); then check_output "$name" "$out" "$bytes" "${inputs[-1]}" "${refs[@]}"; fi
            rm -f "$out"
            ref=$(cat_once "$ref_out" "${refs[@]}")
        else
            ref=$(cat_once "$ref_out" "${refs[@]}")
            tool=$(merge_once "$dir/list.txt" "$out")
            rm -f "$out"
        fi
        record "$name" "$place" "$bytes" "$points" $tool $ref
    done
}

# One timed run of each, from a clean start: no output file, nothing dirty.
merge_once() { sync; timed /dev/null "$ZANDREL" "$1" "$2"; }
cat_once() {
    local out=$1; shift
    sync; timed "$out" cat "$@"; rm -f "$out"
}

# The merged file holds the header and every point record: its size follows
# from the points, its last record is the last input's last record, and its
# point data equal the references' bytes when those are the point data alone.
check_output() {
    local name=$1 out=$2 bytes=$3 last_input=$4; shift 4
    local offset; offset=$(offset_to_data "$out")
    local size; size=$(stat -c %s "$out")
    if [[ $size != $((offset + bytes)) ]]; then
        echo "$name: merged file holds $size bytes, $((offset + bytes)) expected" >&2; exit 1
    fi
    if ! cmp -s <(tail -c $RECORD "$out") <(tail -c $RECORD "$last_input"); then
        echo "$name: last record of the merged file differs from the last input's" >&2; exit 1
    fi
    if [[ $(stat -c %s "$@" | awk "{s += \$1} END {print s}") == "$bytes" ]] && ! cmp -s -i "$offset:0" "$out" <(cat "$@"); then
        echo "$name: merged point data differ from the reference's" >&2; exit 1
    fi
    echo "$name: output checked ($size bytes)" >&2
}

offset_to_data() {
    python3 -c 'import struct,sys; print(struct.unpack_from("<I", open(sys.argv[1],"rb").read(100), 96)[0])' "$1"
}

# Point data alone, the bytes the merge copies from each input.
point_data_of() {
    local dir=$1
    mkdir -p "$dir/ref"
    for f in "$dir"/in/*.las; do
        local offset; offset=$(offset_to_data "$f")
        tail -c +$((offset + 1)) "$f" >"$dir/ref/$(basename "$f" .las).bin"
    done
}

for place in disk shm; do
    if [[ $place == disk ]]; then base=$DISK; else base=$SHM; fi
    echo "== $place: $base ($(stat -f -c %T "$base"))" >&2
    df -h "$base" | tail -1 >&2

    dir=$base/big
    echo "merge ${BIG_FILES} x $((BIG_POINTS * RECORD / MIB)) MiB" >&2
    gen "$dir/in" "$BIG_FILES" "$BIG_POINTS"
    point_data_of "$dir"
    merge_case "merge ${BIG_FILES}x$((BIG_POINTS * RECORD / MIB))MiB" "$place" "$dir" $((BIG_FILES * BIG_POINTS)) "$REPS" "$dir"/ref/*.bin
    rm -rf "$dir"

    dir=$base/small
    echo "merge ${SMALL_FILES} x ${SMALL_POINTS} points" >&2
    mkdir -p "$dir/in"
    # Ten generated files, each repeated under many names.
    gen "$dir/seed" 10 "$SMALL_POINTS"
    python3 -c 'import shutil,sys; d,n=sys.argv[1],int(sys.argv[2]); [shutil.copyfile(f"{d}/seed/{i % 10:05d}.las", f"{d}/in/{i:05d}.las") for i in range(n)]' "$dir" "$SMALL_FILES"
    merge_case "merge ${SMALL_FILES}x${SMALL_POINTS}pts" "$place" "$dir" $((SMALL_FILES * SMALL_POINTS)) "$REPS" "$dir"/in/*.las
    rm -rf "$dir"

    dir=$base/sparse
    echo "merge 2 x 2.5 GiB (sparse)" >&2
    gen "$dir/in" 2 "$SPARSE_POINTS" --sparse
    # The reference copies the whole inputs: 2 x 227 header bytes more.
    merge_case "merge 2x2.5GiB sparse" "$place" "$dir" $((2 * SPARSE_POINTS)) $((REPS < 3 ? REPS : 3)) "$dir"/in/*.las
    rm -rf "$dir"

    dir=$base/uh
    echo "update_header $((UH_POINTS * RECORD / MIB)) MiB" >&2
    gen "$dir" 1 "$UH_POINTS"
    f=$dir/00000.las
    warm "$f"
    for ((r = 0; r < REPS; ++r)); do
        if ((r % 2 == 0)); then
            tool=$(timed /dev/null "$UPDATE_HEADER" "$f"); ref=$(timed /dev/null cat "$f")
        else
            ref=$(timed /dev/null cat "$f"); tool=$(timed /dev/null "$UPDATE_HEADER" "$f")
        fi
        record "update_header $((UH_POINTS * RECORD / MIB))MiB" "$place" "$(stat -c %s "$f")" "$UH_POINTS" $tool $ref
    done
    rm -rf "$dir"

    # The copy routine's two paths on one file: buffers of 1 to 64 MiB
    # against the kernel's copy.
    dir=$base/copy
    mkdir -p "$dir"
    echo "copy paths on ${COPY_MIB} MiB" >&2
    head -c $((COPY_MIB * MIB)) /dev/urandom >"$dir/in.bin"
    warm "$dir/in.bin"
    for ((r = 0; r < REPS; ++r)); do
        rm -f "$dir/k.bin"; sync
        kernel=$(timed /dev/null "$COPY_BENCH" "$dir/in.bin" "$dir/k.bin" kernel 1)
        rm -f "$dir/k.bin"
        for mib in 1 4 8 16 64; do
            rm -f "$dir/b.bin"; sync
            buffer=$(timed /dev/null "$COPY_BENCH" "$dir/in.bin" "$dir/b.bin" buffer $mib)
            record "copy buffer ${mib}MiB" "$place" $((COPY_MIB * MIB)) 0 $buffer $kernel
            rm -f "$dir/b.bin"
        done
    done
    rm -rf "$dir"
done

echo "sorts of 10,000,000 values" >&2
SORT_JSON=$BUILD/bench/sort_results.json
"$SORT_BENCH" --benchmark_repetitions="$REPS" --benchmark_enable_random_interleaving=true \
    --benchmark_format=json --benchmark_out="$SORT_JSON" --benchmark_out_format=json >/dev/null

python3 - "$RESULTS" "$SORT_JSON" "$DISK" <<'EOF'
import collections, json, os, platform, statistics, subprocess, sys

results, sort_json, disk = sys.argv[1:4]
def fs(path):
    return subprocess.run(["stat", "-f", "-c", "%T", path], capture_output=True, text=True).stdout.strip()
def dev(path):
    out = subprocess.run(["df", "--output=source", path], capture_output=True, text=True).stdout.split()
    return out[-1] if out else "?"
cpu = "?"
with open("/proc/cpuinfo") as f:
    for line in f:
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
print(f"Machine: {os.cpu_count()} CPUs ({cpu}), kernel {platform.release()}, "
      f"disk {os.path.dirname(disk)} on {dev(disk)} ({fs(disk)}), /dev/shm ({fs('/dev/shm')})")
with open("/proc/loadavg") as f:
    print(f"Load average at the end: {' '.join(f.read().split()[:3])}")
print()

runs = collections.OrderedDict()
with open(results) as f:
    for line in f:
        *name, place, nbytes, points, tt, tr, rt, rr = line.split()
        runs.setdefault((" ".join(name), place), []).append(
            (int(nbytes), int(points), float(tt), int(tr), float(rt), int(rr)))

ref_of = lambda name: ("cat > /dev/null" if name.startswith("update_header")
                       else "copy_file_range" if name.startswith("copy") else "cat")
head = f"{'case':<24} {'place':<5} {'reps':>4} {'tool s':>8} {'MB/s':>7} {'Mpts/s':>7} {'RSS MiB':>7} " \
       f"{'reference':<15} {'ref s':>8} {'MB/s':>7} {'RSS MiB':>7} {'ratio':>6}"
print(head)
print("-" * len(head))
for (name, place), reps in runs.items():
    nbytes, points = reps[0][0], reps[0][1]
    tt = statistics.median(r[2] for r in reps)
    rt = statistics.median(r[4] for r in reps)
    ratio = statistics.median(r[2] / r[4] for r in reps)
    trss = max(r[3] for r in reps) / 1024
    rrss = max(r[5] for r in reps) / 1024
    mpts = f"{points / tt / 1e6:7.1f}" if points else f"{'-':>7}"
    print(f"{name:<24} {place:<5} {len(reps):>4} {tt:8.3f} {nbytes / tt / 1e6:7.0f} {mpts} {trss:7.1f} "
          f"{ref_of(name):<15} {rt:8.3f} {nbytes / rt / 1e6:7.0f} {rrss:7.1f} {ratio:6.2f}")

with open(sort_json) as f:
    bench = [b for b in json.load(f)["benchmarks"] if b.get("run_type") == "iteration"]
by = collections.defaultdict(list)
for b in bench:
    by[b["run_name"]].append(b)
print()
head = f"{'sort (10,000,000)':<24} {'wall ms':>8} {'cpu ms':>8} {'Mvalues/s':>9} {'reference':<22} " \
       f"{'wall ms':>8} {'cpu ms':>8} {'wall ratio':>10} {'cpu ratio':>9}"
print(head)
print("-" * len(head))
for tool, ref in (("l_quicksort/int32/10000000", "std_sort_pairs/int32/10000000"),
                  ("d_quicksort/double/10000000", "std_sort_pairs/double/10000000")):
    t, r = by[tool], by[ref]
    tw = statistics.median(b["real_time"] for b in t)
    tc = statistics.median(b["cpu_time"] for b in t)
    rw = statistics.median(b["real_time"] for b in r)
    rc = statistics.median(b["cpu_time"] for b in r)
    wr = statistics.median(a["real_time"] / b["real_time"] for a, b in zip(t, r))
    cr = statistics.median(a["cpu_time"] / b["cpu_time"] for a, b in zip(t, r))
    print(f"{tool.split('/')[0]:<24} {tw:8.0f} {tc:8.0f} {1e4 / tc:9.2f} {'std::sort pairs':<22} "
          f"{rw:8.0f} {rc:8.0f} {wr:10.2f} {cr:9.2f}")
print()
print("ratio: median of per-repetition tool/reference wall times (copy rows: buffer/kernel);")
print("RSS: the largest maximum resident set size of the repetitions.")
EOF
