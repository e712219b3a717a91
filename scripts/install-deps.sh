#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian machine, skipping what
# is already there: the native tool chain and GoogleTest, the MinGW-w64 cross
# compilers, Wine to run the Windows program and its tests, clang for the
# fuzz targets, Xvfb and xdotool for the display tests, the packaging tools
# and an aarch64 cross compiler. Run as root;
# needs no input and may be run again at any time.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

log() { echo "[install-deps] $*"; }
warn() { echo "[install-deps] warning: $*" >&2; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

apt_updated=
apt_update() {
  if [ -z "$apt_updated" ]; then
    apt-get update -qq
    apt_updated=1
  fi
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture (for wine32)"
  dpkg --add-architecture i386
fi

# install_missing WHAT PACKAGE...: installs those of the packages that are
# not installed yet, in one apt-get call.
install_missing() {
  local what=$1 p
  local missing=()
  shift
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ($what): ${missing[*]}"
    apt_update
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

install_missing "builds" cmake make g++ libgtest-dev googletest \
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 \
  wine wine32:i386 locales

# The PAR 2.0 client that the recovery files are tested against.
install_missing "recovery tests" par2

# The fuzz targets: clang with its libFuzzer and sanitizer run-times.
install_missing "fuzzing" clang libclang-rt-dev

# --- Virtual display ----------------------------------------------------------
# The display tests run the Windows program under Wine on an X server of their
# own (Xvfb), answer its windows with xdotool and take pictures of them with
# xwd (x11-apps) and netpbm; fonts-wine holds the font of Wine's caption
# buttons, fonts-dejavu-core the text font.
install_missing "display tests" xvfb xdotool x11-apps netpbm fonts-wine fonts-dejavu-core

# Wine takes its code pages from LANG: en_GB gives ANSI 1252 and OEM 850, the
# pair the Linux build emulates. Wine reads the name itself; the glibc locale
# is generated so that other programs accept the setting too.
if ! locale -a 2>/dev/null | grep -qix 'en_GB.utf8'; then
  log "generating the en_GB.UTF-8 locale"
  sed -i 's/^# *\(en_GB.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^en_GB.UTF-8 UTF-8' /etc/locale.gen || echo 'en_GB.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi

# --- 32-bit programs --------------------------------------------------------
# Wine's loader is a 32-bit Linux program. A kernel without 32-bit support
# cannot start it; qemu-user then runs it, registered for 32-bit x86 programs
# with binfmt_misc. The qemu must be version 8 or later: older ones search
# the guest's address space page by page on every mmap that Wine probes with,
# and a Wine process then needs about a minute of CPU just to start (newer
# ones start it in well under a second).
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/qemu-i386

wine_runs() { timeout 120 /usr/lib/wine/wine --version >/dev/null 2>&1; }

qemu_major() {  # prints the major version of the qemu given, or nothing
  "$1" --version 2>/dev/null | sed -n '1s/.* version \([0-9][0-9]*\).*/\1/p'
}

fast_qemu() {  # prints the path of an installed qemu-i386 of version 8 or later
  local q v
  for q in /usr/bin/qemu-i386 /usr/bin/qemu-i386-static; do
    [ -x "$q" ] || continue
    v=$(qemu_major "$q")
    if [ -n "$v" ] && [ "$v" -ge 8 ]; then echo "$q"; return 0; fi
  done
  return 1
}

install_fast_qemu() {
  local codename
  # shellcheck disable=SC1091
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ "$codename" = bookworm ]; then
    # Debian 12 ships qemu 7.2; its backports carry a current one.
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      log "adding bookworm-backports (for a current qemu-user)"
      cat > /etc/apt/sources.list.d/bookworm-backports.sources <<'EOF'
Types: deb
URIs: http://deb.debian.org/debian
Suites: bookworm-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
      apt_updated=
    fi
    apt_update
    log "installing qemu-user from bookworm-backports"
    apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >/dev/null
  else
    log "installing qemu-user"
    apt_update
    apt-get install -y -qq --no-install-recommends qemu-user >/dev/null
  fi
}

if [ -e "$entry" ] || ! wine_runs; then
  qemu=$(fast_qemu || true)
  if [ -z "$qemu" ]; then
    install_fast_qemu || warn "could not install a current qemu-user"
    qemu=$(fast_qemu || true)
  fi
  if [ -z "$qemu" ]; then
    warn "falling back to qemu-user-static from the release: Wine will be very slow"
    installed qemu-user-static || { apt_update; apt-get install -y -qq --no-install-recommends qemu-user-static >/dev/null; }
    qemu=/usr/bin/qemu-i386-static
  fi

  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ -e "$entry" ] && ! grep -qx "interpreter $qemu" "$entry"; then
    log "replacing the qemu-i386 registration ($(sed -n 's/^interpreter //p' "$entry") -> $qemu)"
    echo -1 > "$entry"
  fi
  if [ ! -e "$entry" ]; then
    log "registering $qemu for 32-bit x86 programs"
    # F: the kernel keeps the interpreter open; O and C: it opens the program
    # and keeps set-id credentials, as for a native start.
    printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu:OCF" \
      > "$binfmt/register"
  fi
  grep -qx enabled "$entry" || echo 1 > "$entry"
  wine_runs || { echo "[install-deps] error: Wine's loader does not start under $qemu" >&2; exit 1; }
fi

# --- Packages, manual pages, CRC-32 on ARM ----------------------------------
# CPack's Debian generator needs dpkg-shlibdeps (dpkg-dev) and file to work
# out the package's dependencies; lintian checks the package; man renders the
# manual pages for their test. The aarch64 cross compiler and qemu-user build
# and run the CRC-32 test on a processor other than x86 (qemu-aarch64 is
# called directly: no binfmt registration is needed).
install_missing "packages and manual pages" dpkg-dev file lintian man-db groff-base \
  g++-aarch64-linux-gnu
command -v qemu-aarch64 >/dev/null || install_missing "CRC-32 on aarch64" qemu-user

log "ready: $(cmake --version | head -1), $(i686-w64-mingw32-g++-posix --version | head -1), $(wine --version)${qemu:+, run through $(qemu_major "$qemu" | sed 's/^/qemu /')}"
