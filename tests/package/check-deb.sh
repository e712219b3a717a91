#!/usr/bin/env bash
# Checks the Debian package that CPack made in DIR:
#   check-deb.sh DIR VERSION WITH_TOOL [WITH_WINDOWS_STUB]
# its control fields, that it holds the programs, their manual pages
# and the README (gzipped), the copyright file and the changelog, and
# /usr/lib/parcel/parcelstub.exe when WITH_WINDOWS_STUB is 1; then unpacks
# it into a temporary folder and runs the unpacked programs: `parcel
# --version` must print "parcel VERSION" (when WITH_TOOL is 1, that is when
# the build has the tool), parcelstub's help switch its usage line, and
# `parcel split --stub linux` (and `--stub windows`) must make self-joining
# files from the programs installed beside it; the Linux one must rebuild
# the file.
set -uo pipefail
dir=$1 version=$2 with_tool=$3 with_windows_stub=${4:-0}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

shopt -s nullglob
debs=("$dir"/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAIL: expected one .deb in $dir, found ${#debs[@]}"; exit 1; }
deb=${debs[0]}
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "parcelstub_${version}_${arch}.deb" ] ||
  fail "file name $(basename "$deb"), expected parcelstub_${version}_${arch}.deb"

# --- control fields
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = parcelstub ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
[ -n "$(field Section)" ] || fail "no Section"
depends=$(field Depends)
names=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
for lib in libc6 libstdc++6 libgcc-s1; do
  grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done
description=$(field Description)
[ "$(wc -l <<<"$description")" -ge 2 ] || fail "Description has no long text"

# --- contents
listing=$(dpkg-deb -c "$deb") || fail "dpkg-deb -c failed"
expected=(./usr/bin/parcelstub
          ./usr/share/man/man1/parcel.1.gz ./usr/share/man/man1/parcelstub.1.gz
          ./usr/share/doc/parcelstub/README.md.gz ./usr/share/doc/parcelstub/copyright
          ./usr/share/doc/parcelstub/changelog.gz)
[ "$with_tool" = 1 ] && expected+=(./usr/bin/parcel)
[ "$with_windows_stub" = 1 ] && expected+=(./usr/lib/parcel/parcelstub.exe)
paths=$(awk '{print $6}' <<<"$listing")
for path in "${expected[@]}"; do
  grep -qxF "$path" <<<"$paths" || fail "the package lacks $path"
done
# Everything under /usr, owned by root, nothing uncompressed in man1.
grep -vE '^\./(usr(/.*)?)?$' <<<"$paths" | sed 's/^/  outside \/usr: /' | grep . && fail "files outside /usr"
awk '$2 != "root/root" {print "  " $2 " " $6}' <<<"$listing" | grep . && fail "files not owned by root"
grep -E '^\./usr/share/man/.*\.[1-9]$' <<<"$paths" && fail "uncompressed manual pages"
grep -E '^\./usr/bin/' <<<"$listing" | grep -v '^-rwxr-xr-x' && fail "programs without mode 0755"
grep -E '^\./usr/lib/parcel/.' <<<"$listing" | grep -v '^-rw-r--r--' && fail "files in /usr/lib/parcel without mode 0644"

# --- unpack and run
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work" || fail "dpkg-deb -x failed"
if [ "$with_tool" = 1 ]; then
  out=$("$work/usr/bin/parcel" --version 2>&1)
  [ "$out" = "parcel $version" ] || fail "unpacked parcel --version printed '$out', expected 'parcel $version'"
else
  echo "SKIP: parcel --version (this build has no parcel tool yet)"
fi
# --stub linux and --stub windows: the programs installed with parcel.
if [ "$with_tool" = 1 ]; then
  mkdir -p "$work/try/in" && echo "sent with the package" >"$work/try/in/note.txt"
  (cd "$work/try" && "$work/usr/bin/parcel" split -q --stub linux -o sfx in) || fail "parcel split --stub linux failed"
  (cd "$work/try" && ./sfx "$work/try/out" </dev/null >/dev/null) || fail "the Linux self-joining file did not run"
  cmp -s "$work/try/in/note.txt" "$work/try/out/in/note.txt" || fail "the Linux self-joining file did not rebuild the file"
  if [ "$with_windows_stub" = 1 ]; then
    (cd "$work/try" && "$work/usr/bin/parcel" split -q --stub windows -o win in) ||
      fail "parcel split --stub windows failed"
    [ "$(head -c 2 "$work/try/win.exe" 2>/dev/null)" = MZ ] || fail "--stub windows made no Windows program"
    "$work/usr/bin/parcel" test "$work/try/win.exe" >/dev/null || fail "parcel test of win.exe failed"
  else
    out=$(cd "$work/try" && "$work/usr/bin/parcel" split --stub windows -o win in 2>&1)
    grep -q 'no Windows self-joining program is installed' <<<"$out" ||
      fail "--stub windows without the program said: $out"
  fi
fi
out=$("$work/usr/bin/parcelstub" '/?' </dev/null 2>&1)
grep -q '^Usage: ' <<<"$out" || fail "unpacked parcelstub /? printed: $out"
for page in parcel parcelstub; do
  zcat "$work/usr/share/man/man1/$page.1.gz" | cmp -s - "$(dirname "$0")/../../docs/man/$page.1" ||
    fail "$page.1.gz is not docs/man/$page.1"
done
zcat "$work/usr/share/doc/parcelstub/changelog.gz" | head -1 | grep -qF "parcelstub ($version)" ||
  fail "the changelog does not start with version $version"

if [ $failures -eq 0 ]; then
  echo "$(basename "$deb"): $(wc -l <<<"$listing") entries, Depends: $depends"
  echo "all checks passed"
fi
[ $failures -eq 0 ]
