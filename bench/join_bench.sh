#!/usr/bin/env bash
# Times joining and splitting against the tools people compare with.
#
#   bash bench/join_bench.sh [-b BUILD] [-d DIR] [-n RUNS] [-F FEW] [-M MANY]
#
#   -b BUILD  the build folder holding parcel and parcelstub (default build;
#             build it as Release first)
#   -d DIR    where the scratch folder goes (default: BUILD); it must be on
#             disk, not tmpfs, and have some 7 GiB free
#   -n RUNS   timed runs of each command (default 5)
#   -F FEW    -M MANY  the file counts of the small-file sets (1000, 100000)
#
# It makes a 1 GiB file of random bytes and from it a set of 8 volumes with
# `parcel split`, the same set as a self-joining file (`--stub BUILD/parcelstub`),
# a store-only 7-Zip split archive when 7zz is installed (Debian package
# 7zip), and 8 chunks with `split`; then two sets of small files (FEW and MANY
# files of 64 bytes in one folder). Then it times, interleaved (one run of each
# command per round, `sync` before each), with the page cache warm:
#
#   stub-join     the self-joining file run with a destination, stdin </dev/null
#   parcel-join   parcel join -C DEST VOLUME
#   cat           cat of the 8 chunks into one file
#   7zz           7zz x of the archive
#   parcel-split  parcel split -s 129M of the 1 GiB file
#   split         split -b 129M of the same file
#   stub-join-FEW, stub-join-MANY, parcel-join-FEW, parcel-join-MANY
#                 the joins of the small-file sets
#
# Every join's output is compared with its original after its first run. It
# prints the median, fastest and slowest time of each command and, as its last
# lines, the ratios of medians:
#   stub-join/cat  parcel-join/cat  parcel-join/7zz  parcel-split/split
#   files-100k/1k  time per file of the MANY-file joins over the FEW-file ones
#                  (the larger of the two programs' ratios, both shown; the
#                  name gives the counts, 100k and 1k by default)
# Nothing is left behind: the scratch folder is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
parent=
runs=5
few=1000
many=100000
limit=1800  # seconds one run may take before it counts as failed

usage() { sed -n '4,11p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
while getopts b:d:n:F:M:h option; do
  case $option in
    b) build=$OPTARG ;;
    d) parent=$OPTARG ;;
    n) runs=$OPTARG ;;
    F) few=$OPTARG ;;
    M) many=$OPTARG ;;
    *) usage ;;
  esac
done
[ $# -ge "$OPTIND" ] && usage

parcel=$PWD/$build/parcel
stub=$PWD/$build/parcelstub
for program in "$parcel" "$stub"; do
  if [ ! -x "$program" ]; then
    echo "join_bench: $program is missing; build it first:" >&2
    echo "  cmake -S . -B $build -DCMAKE_BUILD_TYPE=Release && cmake --build $build -j2 --target parcel parcelstub" >&2
    exit 1
  fi
done
type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ "$type" = Release ] || echo "join_bench: warning: $build is a '${type:-?}' build, not Release" >&2
sevenzip=$(command -v 7zz || true)

parent=${parent:-$build}
mkdir -p "$parent"
if [ "$(findmnt -n -o FSTYPE -T "$parent" 2>/dev/null)" = tmpfs ]; then
  echo "join_bench: $parent is on tmpfs; give a folder on disk with -d" >&2
  exit 1
fi
scratch=$(mktemp -d "$(cd "$parent" && pwd)/join-bench.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
log=$scratch/log
mkdir -p times

note() { echo "[$(date +%H:%M:%S)] $*"; }

# --- The data ----------------------------------------------------------------
volume=129M  # eight volumes of 1 GiB, records and all
note "making 1 GiB of random data and the sets (in $scratch)"
mkdir -p data set stubset chunks archive
head -c $((1 << 30)) /dev/urandom >data/big.bin
"$parcel" split -s $volume -o set/big data/big.bin >>"$log" 2>&1
"$parcel" split -s $volume --stub "$stub" -o stubset/big data/big.bin >>"$log" 2>&1
split -b $volume data/big.bin chunks/big.
[ -n "$sevenzip" ] && (cd data && "$sevenzip" a -mx=0 -v$volume -bd -bso0 -bsp0 ../archive/big.7z big.bin) >>"$log" 2>&1
echo "  parcel split: $(ls set | wc -l) volumes; self-joining set: $(ls stubset | wc -l) files;" \
     "split: $(ls chunks | wc -l) chunks; 7-Zip: $([ -n "$sevenzip" ] && echo "$(ls archive | wc -l) volumes" || echo not installed)"
[ "$(ls set | wc -l)" -eq 8 ] || echo "join_bench: warning: the set has $(ls set | wc -l) volumes, not 8" >&2

# FILES-file sets of 64-byte files in one folder named after the count, each
# as volumes and as a self-joining file.
make_files() {
  local count=$1 dir=files$1
  mkdir -p "$dir" "fileset$count" "filestub$count"
  head -c $((count * 64)) /dev/urandom | (cd "$dir" && split -b 64 -a ${#count} -d - f)
  "$parcel" split -o "fileset$count/files" "$dir" >>"$log" 2>&1
  "$parcel" split --stub "$stub" -o "filestub$count/files" "$dir" >>"$log" 2>&1
}
note "making the sets of $few and $many small files"
make_files "$few"
make_files "$many"

# Warm the page cache with everything the timed commands read.
cat data/big.bin set/* stubset/* chunks/* archive/* >/dev/null 2>&1 || true

# --- The commands ------------------------------------------------------------
# job NAME COMMAND CHECK: COMMAND runs in a fresh folder out/ (made empty
# before each run, outside the timing); CHECK compares its result once.
names=()
declare -A command check
job() { names+=("$1"); command[$1]=$2; check[$1]=$3; }

same_big='cmp data/big.bin out/big.bin'
same_files() { echo "diff -r files$1 out/files$1 >/dev/null"; }

# The self-joining program looks for its volumes in the folder it is started in.
job stub-join "cd stubset && ./big $scratch/out </dev/null >/dev/null 2>&1" "$same_big"
job parcel-join "$parcel join -C out set/big.s01 >/dev/null 2>&1" "$same_big"
job cat 'cat chunks/big.* >out/big.bin' "$same_big"
[ -n "$sevenzip" ] && job 7zz "$sevenzip x -y -bd -bso0 -bsp0 -oout archive/big.7z.001" "$same_big"
job parcel-split "$parcel split -s $volume -o out/big data/big.bin >/dev/null 2>&1" \
    '[ "$(ls out | wc -l)" -eq "$(ls set | wc -l)" ] && [ "$(cat out/* | wc -c)" -eq "$(cat set/* | wc -c)" ]'
job split "split -b $volume data/big.bin out/big." 'cmp <(cat out/*) data/big.bin'
for count in "$few" "$many"; do
  job "stub-join-$count" "cd filestub$count && ./files $scratch/out </dev/null >/dev/null 2>&1" "$(same_files "$count")"
  job "parcel-join-$count" "$parcel join -C out fileset$count/files.s01 >/dev/null 2>&1" "$(same_files "$count")"
done

# --- The runs ----------------------------------------------------------------
declare -A failed
for ((run = 1; run <= runs; run++)); do
  note "round $run of $runs"
  for name in "${names[@]}"; do
    [ -n "${failed[$name]:-}" ] && continue
    rm -rf out && mkdir out
    sync
    begin=$(date +%s%N)
    if ! timeout $limit bash -c "${command[$name]}"; then
      echo "  $name failed (exit status or more than $limit s); left out from now on" >&2
      failed[$name]=1
      continue
    fi
    end=$(date +%s%N)
    echo $(((end - begin) / 1000)) >>"times/$name"
    if [ "$run" -eq 1 ] && ! bash -c "${check[$name]}"; then
      echo "  $name: the result differs from the original; left out" >&2
      failed[$name]=1
      rm -f "times/$name"
    fi
  done
done
rm -rf out

# --- The figures -------------------------------------------------------------
# median NAME: the median time in seconds, or nothing when NAME has no time.
median() {
  [ -s "times/$1" ] || return 0
  sort -n "times/$1" | awk '{t[NR] = $1} END {
    m = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2; printf "%.3f", m / 1e6 }'
}

echo
echo "$(uname -m), $(nproc) cores, $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -1), $(date -u +%Y-%m-%d)"
printf '%-20s %9s %9s %9s %8s\n' command median fastest slowest GB/s
for name in "${names[@]}"; do
  if [ ! -s "times/$name" ]; then
    printf '%-20s %9s\n' "$name" failed
    continue
  fi
  m=$(median "$name")
  read -r lo hi < <(sort -n "times/$name" | awk 'NR == 1 {lo = $1} {hi = $1} END {printf "%.3f %.3f\n", lo / 1e6, hi / 1e6}')
  case $name in
    *-"$few"|*-"$many") rate=- ;;
    *) rate=$(awk -v s="$m" 'BEGIN {printf "%.2f", 1.073741824 / s}') ;;
  esac
  printf '%-20s %8ss %8ss %8ss %8s\n' "$name" "$m" "$lo" "$hi" "$rate"
done

# ratio A B: median of A over median of B, or n/a.
ratio() {
  local a b
  a=$(median "$1")
  b=$(median "$2")
  if [ -n "$a" ] && [ -n "$b" ]; then awk -v a="$a" -v b="$b" 'BEGIN {printf "%.2f", a / b}'; else echo n/a; fi
}
# per_file PROGRAM: time per file of the MANY-file join over the FEW-file one.
per_file() {
  local r
  r=$(ratio "$1-$many" "$1-$few")
  [ "$r" = n/a ] && { echo n/a; return; }
  awk -v r="$r" -v f="$few" -v m="$many" 'BEGIN {printf "%.2f", r * f / m}'
}

# 100000 as 100k, 1000 as 1k.
short() { if [ $(($1 % 1000)) -eq 0 ]; then echo "$(($1 / 1000))k"; else echo "$1"; fi; }

stub_files=$(per_file stub-join)
parcel_files=$(per_file parcel-join)
worst=$(printf '%s\n%s\n' "$stub_files" "$parcel_files" | grep -v n/a | sort -n | tail -1)
echo
echo "stub-join/cat $(ratio stub-join cat)"
echo "parcel-join/cat $(ratio parcel-join cat)"
echo "parcel-join/7zz $(ratio parcel-join 7zz)"
echo "parcel-split/split $(ratio parcel-split split)"
echo "files-$(short "$many")/$(short "$few") ${worst:-n/a} (stub-join $stub_files, parcel-join $parcel_files)"
