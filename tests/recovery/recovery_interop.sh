#!/usr/bin/env bash
# Recovery files against par2cmdline, a PAR 2.0 client we did not write:
#   - sets made with `parcel split -r` pass `par2 verify`;
#   - lost, damaged and renamed volumes within the budget are rebuilt byte
#     for byte by `par2 repair` and by `parcel repair` (and then joined);
#   - recovery files made by `par2 create` (several slice sizes and counts)
#     are used by `parcel repair`;
#   - beyond the budget both refuse, and every file that was there is still
#     there, unchanged;
#   - `repair -n` changes nothing; the damaged file is kept as NAME.1.
#
#   recovery_interop.sh PARCEL PARCELSTUB [WINE-RUN WINE-PREFIX PARCEL-EXE]
#
# With the last three, the same repairs run with the Windows parcel.exe
# under Wine.
set -uo pipefail
parcel=${1:?usage: recovery_interop.sh PARCEL PARCELSTUB [WINE-RUN WINE-PREFIX PARCEL-EXE]}
stub=${2:?}
wine_run=${3:-}
wine_prefix=${4:-}
parcel_exe=${5:-}
command -v par2 >/dev/null || { echo "recovery_interop: par2 (par2cmdline) is not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
check() { local what=$1; shift; "$@" >"$work/out.log" 2>&1 || { fail "$what"; sed 's/^/  | /' "$work/out.log" >&2; }; }
refuse() { local what=$1; shift; if "$@" >"$work/out.log" 2>&1; then fail "$what (succeeded)"; sed 's/^/  | /' "$work/out.log" >&2; fi; }

# Inputs: random data of awkward sizes, and a file of zeros (equal slices).
mkdir -p "$work/in"
head -c 2500001 /dev/urandom >"$work/in/a.bin"
head -c 700003 /dev/urandom >"$work/in/b.bin"
head -c 300000 /dev/zero >"$work/in/zeros.bin"

# digest DIR: every file's checksum, sorted, to compare before and after.
digest() { (cd "$1" && find . -type f ! -name '*.tmp' -print0 | sort -z | xargs -0 md5sum); }
same_volumes() {  # same_volumes ORIG DIR: every volume of ORIG is in DIR, byte for byte
  local f ok=0
  for f in "$1"/*; do
    case $f in *.par2) continue ;; esac
    cmp -s "$f" "$2/$(basename "$f")" || { echo "differs: $(basename "$f")"; ok=1; }
  done
  return $ok
}
joined_ok() {  # joined_ok SET-VOLUME: joins and compares with the inputs
  rm -rf "$work/out"
  "$parcel" join -q -C "$work/out" "$1" && cmp "$work/out/a.bin" "$work/in/a.bin" &&
    cmp "$work/out/b.bin" "$work/in/b.bin" && cmp "$work/out/zeros.bin" "$work/in/zeros.bin"
}
damage() {  # damage FILE OFFSET COUNT
  dd if=/dev/urandom of="$1" bs=1 seek="$2" count="$3" conv=notrunc status=none
}

# --- Sets made by parcel ----------------------------------------------------
# case: name, split options, and what happens to the copy before repair.
run_parcel_set() {
  local name=$1 options=$2 harm=$3
  local orig=$work/$name-orig
  rm -rf "$orig"
  mkdir -p "$orig"
  # shellcheck disable=SC2086
  check "$name: split" "$parcel" split -q $options -o "$orig/set" "$work/in/a.bin" "$work/in/b.bin" "$work/in/zeros.bin"
  check "$name: par2 verify of a fresh set" par2 verify -q "$orig/set.par2"
  local first
  first=$(cd "$orig" && ls | grep -v par2 | head -1)
  local tool
  for tool in par2 parcel ${parcel_exe:+parcel.exe}; do
    local dir=$work/$name-$tool
    rm -rf "$dir"
    cp -r "$orig" "$dir"
    (cd "$dir" && eval "$harm")
    case $tool in
      par2) check "$name: par2 repair" par2 repair -q "$dir/set.par2" ;;
      parcel) check "$name: parcel repair" "$parcel" repair -q "$dir/$first" ;;
      parcel.exe) check "$name: parcel.exe repair" "$wine_run" "$wine_prefix" "$parcel_exe" repair -q "$dir/$first" ;;
    esac
    check "$name: $tool rebuilt every volume byte for byte" same_volumes "$orig" "$dir"
  done
  check "$name: the repaired set joins" joined_ok "$work/$name-parcel/$first"
}

# Two whole volumes of recovery data: one lost, one damaged in two places.
run_parcel_set lose-and-damage "-s 400k -r 2" \
  'rm set.s03; dd if=/dev/urandom of=set.s05 bs=1 seek=1000 count=10 conv=notrunc status=none;
   dd if=/dev/urandom of=set.s05 bs=1 seek=300000 count=10 conv=notrunc status=none'
# Slices of about 1 MiB: volumes of 3 MiB hold three each; the last is short.
run_parcel_set truncated-last "-s 3M -r 1" 'truncate -s 100 set.s02'
# 10% of the set: small damage in two volumes, a volume cut short.
run_parcel_set percent "-s 500k -r 10%" \
  'dd if=/dev/zero of=set.s02 bs=1 seek=5 count=3 conv=notrunc status=none; truncate -s 400000 set.s04'
# The self-joining file is lost.
# (SIZE bounds the self-joining file too: the program plus 600 KiB.)
run_parcel_set stub-lost "-s $(($(stat -c %s "$stub") + 614400)) --stub $stub -r 1" 'rm set'

# Damaged recovery files: the index file and a recovery slice are hit; the
# copies of the index in the other files and the other slices serve.
run_parcel_set damaged-recovery-files "-s 400k -r 2" \
  'rm set.s04; dd if=/dev/urandom of=set.par2 bs=1 seek=100 count=200 conv=notrunc status=none;
   f=$(ls set.vol*.par2 | head -1); dd if=/dev/urandom of=$f bs=1 seek=5000 count=10 conv=notrunc status=none'

# Renamed volumes are found by their contents (parcel only: par2 needs the
# names on its command line).
orig=$work/lose-and-damage-orig
dir=$work/renamed
rm -rf "$dir"
cp -r "$orig" "$dir"
mv "$dir/set.s02" "$dir/SET.S02"
mv "$dir/set.s04" "$dir/holiday-part"
rm "$dir/set.s06"
check "renamed: parcel repair" "$parcel" repair -q "$dir/set.par2"
check "renamed: volumes back under their names" same_volumes "$orig" "$dir"

# -n changes nothing; the damaged file is kept as NAME.1.
dir=$work/dry
rm -rf "$dir"
cp -r "$orig" "$dir"
damage "$dir/set.s02" 5000 4
before=$(digest "$dir")
refuse "dry run: exit status 1 while not whole" "$parcel" repair -n "$dir/set.s01"
grep -q "repairable" "$work/out.log" || fail "dry run: says repairable"
[ "$(digest "$dir")" = "$before" ] || fail "dry run: changed files"
check "kept: parcel repair" "$parcel" repair -q "$dir/set.s01"
cmp -s "$dir/set.s02.1" <(cd "$orig" && cat set.s02) && fail "kept: NAME.1 should be the damaged file"
[ -f "$dir/set.s02.1" ] || fail "kept: the damaged file is not kept as set.s02.1"

# test and join name the repair.
dir=$work/verdicts
rm -rf "$dir"
cp -r "$orig" "$dir"
rm "$dir/set.s01"
refuse "test: incomplete set" "$parcel" test "$dir/set.s02"
grep -q "can be repaired" "$work/out.log" || fail "test: says the set can be repaired"
refuse "join: incomplete set" "$parcel" join -C "$work/out" "$dir/set.s02"
grep -q "parcel repair" "$work/out.log" || fail "join: names parcel repair"
refuse "list: incomplete set" "$parcel" list "$dir/set.s02"
grep -q "recovery files: 3 files" "$work/out.log" || fail "list: names the recovery files"
rm -rf "$work/out"
check "join --repair" "$parcel" join -q --repair -C "$work/out" "$dir/set.s02"
cmp -s "$work/out/a.bin" "$work/in/a.bin" || fail "join --repair: a.bin differs"

# --- Interrupted repairs ------------------------------------------------------
# parcel repair killed at random moments (20 runs): the damaged volume's bytes
# are still there (under its name or as NAME.1), and a rerun completes the set.
head -c 24000000 /dev/urandom >"$work/in/big.bin"
orig=$work/kill-orig
mkdir -p "$orig"
check "kill: split" "$parcel" split -q -s 4M -r 2 -o "$orig/set" "$work/in/big.bin"
for ((run = 1; run <= 20; ++run)); do
  dir=$work/kill
  rm -rf "$dir"
  cp -r "$orig" "$dir"
  damage "$dir/set.s02" 100000 1000
  rm "$dir/set.s05"
  damaged=$(md5sum <"$dir/set.s02")
  "$parcel" repair -q "$dir/set.s01" >/dev/null 2>&1 &
  pid=$!
  sleep "0.$((RANDOM % 40))"
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  found=no
  for f in "$dir"/set.s02 "$dir"/set.s02.*; do
    [ -f "$f" ] && [ "$(md5sum <"$f")" = "$damaged" ] && found=yes
  done
  [ "$found" = yes ] || fail "kill run $run: the damaged volume's bytes are gone"
  check "kill run $run: rerun" "$parcel" repair -q "$dir/set.s01"
  check "kill run $run: rebuilt byte for byte" same_volumes "$orig" "$dir"
done

# --- Beyond the budget: both refuse, nothing is lost ------------------------
dir=$work/beyond
rm -rf "$dir"
cp -r "$orig" "$dir"
rm "$dir/set.s01" "$dir/set.s02"
damage "$dir/set.s03" 100 100
before=$(digest "$dir")
refuse "beyond: par2 repair" par2 repair -q "$dir/set.par2"
find "$dir" -name '*.1' -delete  # par2cmdline may leave its own backups; ours must not
[ "$(digest "$dir")" = "$before" ] || fail "beyond: par2 changed the files"
refuse "beyond: parcel repair" "$parcel" repair "$dir/set.s03"
grep -q "needs [0-9]* more recovery slices" "$work/out.log" || fail "beyond: says how many more slices it needs"
[ "$(digest "$dir")" = "$before" ] || fail "beyond: parcel changed the files"
refuse "beyond: test" "$parcel" test "$dir/set.s03"
grep -q "cannot repair" "$work/out.log" || fail "beyond: test says it cannot be repaired"

# --- Recovery files made by par2 create ---------------------------------------
for create in "-s65536 -c40" "-s128 -c3" "-s1048576 -c2" "-b300 -r20" "-s200000 -c5 -u"; do
  name=$(echo "created$create" | tr -d ' ')
  orig=$work/$name-orig
  rm -rf "$orig"
  mkdir -p "$orig"
  check "$name: split" "$parcel" split -q -s 300k -o "$orig/set" "$work/in/a.bin" "$work/in/b.bin" "$work/in/zeros.bin"
  # shellcheck disable=SC2086
  (cd "$orig" && par2 create -q -q $create set.par2 set.s*) >/dev/null 2>&1 || fail "$name: par2 create"
  harm() {
    case $create in
      -s128*) damage "$1/set.s02" 10 2 ;;
      -s1048576*) rm "$1/set.s04" ;;
      *) rm "$1/set.s02"; damage "$1/set.s07" 2000 50 ;;
    esac
  }
  dir=$work/$name
  rm -rf "$dir"
  cp -r "$orig" "$dir"
  harm "$dir"
  check "$name: parcel repair" "$parcel" repair -q "$dir/set.s01"
  check "$name: rebuilt byte for byte" same_volumes "$orig" "$dir"
  if [ -n "$parcel_exe" ]; then
    rm -rf "$dir"
    cp -r "$orig" "$dir"
    harm "$dir"
    check "$name: parcel.exe repair" "$wine_run" "$wine_prefix" "$parcel_exe" repair -q "$dir/set.s01"
    check "$name: parcel.exe rebuilt byte for byte" same_volumes "$orig" "$dir"
  fi
done

if [ "$failures" -gt 0 ]; then
  echo "recovery_interop: $failures failure(s)" >&2
  exit 1
fi
echo "recovery_interop: all cases passed"
