#!/usr/bin/env bash
# The main job on the shipped sample: builds the program, splits the files in
# samples/ into a self-joining file plus volumes, joins them into a fresh
# temporary directory with no operator at the console, and checks that every
# rebuilt file equals its original byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."

# What the build needs, on a machine that lacks it (Debian, as root).
if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null || [ ! -d /usr/src/googletest ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends cmake make g++ libgtest-dev googletest >/dev/null
fi

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target parcelstub parcel >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/set" "$work/out"

files=(README.txt docs/guide.txt data/numbers.csv data/noise.bin)
bin=$(cd "$build" && pwd)
# SIZE bounds the self-joining file too: room for the program and 32 KiB.
size=$(($(stat -c %s "$bin/parcelstub") + 32768))
echo "== Splitting samples/ into volumes of at most $size bytes (the program and 32 KiB)"
# The two directories and the file, each stored under its own name.
(cd samples && "$bin/parcel" split -s "$size" -o "$work/set/sample" --stub "$bin/parcelstub" README.txt docs data)

echo "== Joining: $work/set/sample $work/out"
# No operator: the questions at the end are answered by the end of input.
(cd "$work/set" && ./sample "$work/out" </dev/null)

echo "== Comparing"
status=0
for f in "${files[@]}"; do
  if cmp -s "samples/$f" "$work/out/$f"; then
    echo "equal: $f"
  else
    echo "DIFFERENT: $f"
    status=1
  fi
done
extra=$(cd "$work/out" && find . -type f | sed 's|^\./||' | sort | grep -vxF -f <(printf '%s\n' "${files[@]}") || true)
if [ -n "$extra" ]; then
  echo "unexpected files in the destination:"; echo "$extra"; status=1
fi
[ $status -eq 0 ] && echo "All rebuilt files equal the originals."
exit $status
