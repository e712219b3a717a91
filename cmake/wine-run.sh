#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGS...]
#
# The cross-build's tests run through this script (it is the toolchain's
# CMAKE_CROSSCOMPILING_EMULATOR, with the build's own PREFIX), and so do the
# end-to-end runs of parcelstub.exe.
#
# - The prefix is made on first use, under a lock so that parallel runs do not
#   race; a prefix whose making was cut short is finished the next time.
# - One wineserver serves the runs and stays up PARCEL_WINE_LINGER seconds
#   (default 60) after the last program ends, so that Wine's session start
#   (services, devices) is paid once per test run rather than per program.
#   `WINEPREFIX=PREFIX TMPDIR=/tmp wineserver -k` ends it at once.
# - Wine is quiet (PARCEL_WINEDEBUG overrides WINEDEBUG=-all), no display is
#   used (message boxes and the open-file dialog fail at once instead of
#   waiting for an operator), and the .NET and HTML engine installers are
#   skipped.
# - PARCEL_WINE_DISPLAY (an X display such as :91) runs the program on that
#   display instead, so that its windows appear and wait for an operator.
#   Give a prefix of its own to such runs: a Wine session keeps the display it
#   started with.
# - The locale is en_GB: Wine then uses the ANSI code page 1252 and the OEM
#   code page 850, the pair the Linux build emulates.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 PREFIX PROGRAM [ARGS...]" >&2
  exit 2
fi
prefix=$1
shift

export WINEPREFIX=$prefix
export WINEDEBUG=${PARCEL_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LANG=en_GB.UTF-8 LC_ALL=en_GB.UTF-8
unset WAYLAND_DISPLAY
if [ -n "${PARCEL_WINE_DISPLAY:-}" ]; then
  export DISPLAY=$PARCEL_WINE_DISPLAY
else
  unset DISPLAY
fi
# Debian's Wine keeps the server's socket in a directory under $TMPDIR whose
# name it records in the prefix: every run must see the same TMPDIR, or it
# would miss the running server and start a second one on the same prefix.
# (The Windows program's own temporary directory comes from the prefix.)
export TMPDIR=/tmp

# Make the prefix once. The marker is written only after wineboot finished;
# without it wineboot runs (again), which also completes a half-made prefix.
ready=$prefix/.parcel-prefix-ready
if [ ! -e "$ready" ]; then
  mkdir -p "$prefix"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -e "$ready" ]; then
    echo "wine-run: making the Wine prefix $prefix" >&2
    # (Wine's processes must not inherit the lock: the server would hold it.)
    wineserver -p"${PARCEL_WINE_LINGER:-60}" >/dev/null 2>&1 9>&- || true
    if ! wine wineboot -i >"$prefix.wineboot.log" 2>&1 9>&-; then
      echo "wine-run: wineboot failed for $prefix:" >&2
      cat "$prefix.wineboot.log" >&2
      exit 1
    fi
    touch "$ready"
  fi
  exec 9>&-
fi

# Start the lingering server unless one runs already (then this is a no-op).
wineserver -p"${PARCEL_WINE_LINGER:-60}" >/dev/null 2>&1 || true

exec wine "$@"
