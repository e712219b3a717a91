#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian machine, skipping what
# is already there: the native tool chain and GoogleTest, the MinGW-w64 cross
# compilers, and Wine to run the Windows program and its tests. Run as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

log() { echo "[install-deps] $*"; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture (for wine32)"
  dpkg --add-architecture i386
fi

packages=(cmake make g++ libgtest-dev googletest
          g++-mingw-w64-i686-posix mingw-w64-i686-dev
          wine wine32:i386 locales qemu-user-static)
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine takes its OEM code page from the locale: en_GB gives 850, like the
# Linux build.
if ! locale -a 2>/dev/null | grep -qix 'en_GB.utf8'; then
  log "generating the en_GB.UTF-8 locale"
  sed -i 's/^# *\(en_GB.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^en_GB.UTF-8 UTF-8' /etc/locale.gen || echo 'en_GB.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

# Wine's loader is a 32-bit Linux program. Kernels built without 32-bit
# support cannot start it; qemu-user then runs it, registered for 32-bit
# x86 programs with binfmt_misc.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-i386" ]; then
    log "registering qemu-i386 for 32-bit programs"
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:OCF' \
      > "$binfmt/register"
  fi
  /usr/lib/wine/wine --version >/dev/null
fi
log "ready: $(cmake --version | head -1), $(i686-w64-mingw32-g++-posix --version | head -1), $(wine --version)"
