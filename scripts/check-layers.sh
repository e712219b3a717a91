#!/usr/bin/env bash
# Checks that the Linux Win32 layer (platform/linux) stays in layers:
#   - no circle of includes between its files (X.cpp and X.h are one unit X),
#   - no circle of calls between its object files: no file uses a symbol
#     defined by a file that uses it, directly or around a loop (read with
#     nm from the objects as built),
#   - includes and calls together keep one order (a file includes only the
#     headers of the files below it and calls only those),
#   - no file over 400 lines.
# Prints the order from the bottom up, or each fault found; exit code 1 on
# any fault.
#
# Usage: check-layers.sh SOURCE_DIR OBJECT_FILE...
#   SOURCE_DIR    the platform/linux folder
#   OBJECT_FILE   its object files (X.cpp.o or X.o), as the build made them
set -uo pipefail
export LC_ALL=C

if [ $# -lt 2 ]; then
  echo "usage: $0 SOURCE_DIR OBJECT_FILE..." >&2
  exit 2
fi
src=$1
shift
max_lines=400
faults=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

unit_of() {  # the unit a file belongs to: its name without extensions
  local name
  name=$(basename "$1")
  echo "${name%%.*}"
}

# --- sizes
for file in "$src"/*.h "$src"/*.cpp; do
  lines=$(wc -l <"$file")
  if [ "$lines" -gt "$max_lines" ]; then
    echo "too long: $(basename "$file") has $lines lines (at most $max_lines)"
    faults=$((faults + 1))
  fi
done

# --- include edges: "X Y" when X includes Y's header
for file in "$src"/*.h "$src"/*.cpp; do
  unit=$(unit_of "$file")
  sed -nE 's|^[[:space:]]*#[[:space:]]*include[[:space:]]+"platform/linux/([^"]+)\.h".*|\1|p' "$file" |
    while read -r header; do
      [ "$header" != "$unit" ] && echo "$unit $header"
    done
done | sort -u >"$work/includes"

# --- call edges: "X Y" when X's object uses a symbol that Y's defines.
# Weak definitions (inline functions, templates) are copies in every user
# and tie no file to another.
: >"$work/defined"
for object in "$@"; do
  unit=$(unit_of "$object")
  nm --defined-only "$object" | awk -v u="$unit" '$2 ~ /^[TDBRG]$/ {print $3, u}' >>"$work/defined"
done
sort -u "$work/defined" -o "$work/defined"
duplicates=$(awk '{print $1}' "$work/defined" | uniq -d)
if [ -n "$duplicates" ]; then
  echo "symbols defined twice: $duplicates"
  faults=$((faults + 1))
fi
for object in "$@"; do
  unit=$(unit_of "$object")
  nm --undefined-only "$object" | awk '{print $NF}' | sort -u |
    join - "$work/defined" | awk -v u="$unit" '$2 != u {print u, $2}'
done | sort -u >"$work/calls"

# --- circles: tsort reports every loop it meets
check_order() {  # check_order WHAT FILE
  local what=$1 file=$2 report
  report=$(tsort "$file" 2>&1 >/dev/null)
  if [ -n "$report" ]; then
    echo "circle in the $what:"
    echo "$report" | sed 's/^/  /'
    faults=$((faults + 1))
  fi
}
check_order includes "$work/includes"
check_order calls "$work/calls"
sort -u "$work/includes" "$work/calls" >"$work/all"
check_order "includes and calls together" "$work/all"

if [ "$faults" -ne 0 ]; then
  echo "platform/linux is not in layers: $faults fault(s)"
  exit 1
fi
# tsort lists a unit before the units it uses: reversed, from the bottom up.
echo "platform/linux in layers, from the bottom up:"
tsort "$work/all" | tac | tr '\n' ' '
echo
echo "$(wc -l <"$work/calls") call edges, $(wc -l <"$work/includes") include edges, no circle"
