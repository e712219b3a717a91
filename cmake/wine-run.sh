#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGS...]
#
# The prefix is the build's own (made on first use), Wine is quiet, no display
# is used (message boxes and dialogs cannot be shown, and fail), and the
# locale is one whose OEM code page is 850, like the Linux build's.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export LANG=en_GB.UTF-8 LC_ALL=en_GB.UTF-8
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"
