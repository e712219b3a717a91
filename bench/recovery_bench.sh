#!/usr/bin/env bash
# Times making and using recovery data side by side with par2cmdline.
#
#   bash bench/recovery_bench.sh [-b BUILD] [-d DIR] [-n RUNS]
#
#   -b BUILD  the build folder holding parcel (default build; Release)
#   -d DIR    where the scratch folder goes (default: BUILD); on disk, with
#             some 4 GiB free
#   -n RUNS   timed runs of each command (default 3; the median is shown)
#
# Data: a 1 GiB file of random bytes, split into 8 volumes of 128 MiB.
#   create   `parcel split -s 128M -r 10%` (the split and its recovery files
#            together; parcel takes 1 MiB slices for these volumes) against
#            `par2 create -r10 -s1048576` over the 8 volumes of the same set
#   repair   one volume deleted, rebuilt from recovery data of one volume's
#            worth (128 slices of 1 MiB): `parcel repair` (recovery files from
#            `parcel split -r 1`) against `par2 repair` (recovery files from
#            `par2 create -s1048576 -c128`)
# Every repair's result is compared with the lost volume. The page cache is
# warm (each command's input was just written or read). It prints the median
# time of each command, the peak memory (resident set) of each, and the
# ratios parcel/par2. Nothing is left behind.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
dir=
runs=3
while getopts "b:d:n:" opt; do
  case $opt in
    b) build=$OPTARG ;;
    d) dir=$OPTARG ;;
    n) runs=$OPTARG ;;
    *) exit 2 ;;
  esac
done
parcel=$(cd "$build" && pwd)/parcel
[ -x "$parcel" ] || { echo "recovery_bench: $parcel is missing (build it first)" >&2; exit 1; }
command -v par2 >/dev/null || { echo "recovery_bench: par2 is not installed" >&2; exit 1; }
work=$(mktemp -d "${dir:-$build}/recovery-bench.XXXXXX")
work=$(cd "$work" && pwd)
trap 'rm -rf "$work"' EXIT

echo "recovery_bench: making 1 GiB of random data in $work"
head -c 1073741824 /dev/urandom >"$work/data.bin"

# timed NAME COMMAND...: one run; the seconds and peak KiB appended to NAME's lists.
declare -A times peaks
timed() {
  local name=$1
  shift
  /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt" ||
    { cat "$work/err.txt" >&2; echo "recovery_bench: $name failed" >&2; exit 1; }
  read -r seconds kib <"$work/time.txt"
  times[$name]="${times[$name]:-} $seconds"
  peaks[$name]=$kib
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

for ((run = 1; run <= runs; ++run)); do
  echo "recovery_bench: round $run of $runs"
  # create
  rm -rf "$work/p" "$work/q"
  mkdir -p "$work/p" "$work/q"
  timed parcel-create "$parcel" split -q -s 128M -r 10% -o "$work/p/set" "$work/data.bin"
  "$parcel" split -q -s 128M -o "$work/q/set" "$work/data.bin"
  (cd "$work/q" && timed par2-create par2 create -q -r10 -s1048576 set.par2 set.s01 set.s02 set.s03 set.s04 \
    set.s05 set.s06 set.s07 set.s08)

  # repair of one lost volume from one volume's worth
  rm -rf "$work/p" "$work/q"
  mkdir -p "$work/p" "$work/q"
  "$parcel" split -q -s 128M -r 1 -o "$work/p/set" "$work/data.bin"
  cp "$work/p/set.s03" "$work/lost-p"
  "$parcel" split -q -s 128M -o "$work/q/set" "$work/data.bin"
  cp "$work/q/set.s03" "$work/lost-q"
  (cd "$work/q" && par2 create -q -q -s1048576 -c128 set.par2 set.s0*)
  rm "$work/p/set.s03" "$work/q/set.s03"
  cat "$work/p/set.s01" "$work/q/set.s01" >/dev/null
  timed parcel-repair "$parcel" repair -q "$work/p/set.s01"
  (cd "$work/q" && timed par2-repair par2 repair -q set.par2)
  cmp "$work/lost-p" "$work/p/set.s03" && cmp "$work/lost-q" "$work/q/set.s03" ||
    { echo "recovery_bench: a repaired volume differs" >&2; exit 1; }
done

echo
printf "%-14s %10s %12s\n" command "median s" "peak MiB"
for name in parcel-create par2-create parcel-repair par2-repair; do
  printf "%-14s %10s %12d\n" "$name" "$(echo "${times[$name]}" | median)" $((peaks[$name] / 1024))
done
ratio() { awk -v a="$(echo "${times[$1]}" | median)" -v b="$(echo "${times[$2]}" | median)" 'BEGIN {printf "%.3f", a / b}'; }
echo
echo "create  parcel/par2: $(ratio parcel-create par2-create)"
echo "repair  parcel/par2: $(ratio parcel-repair par2-repair)"
