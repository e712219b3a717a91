#!/usr/bin/env bash
# Runs lintian on the Debian package in DIR: fails on errors, shows warnings
# and the rest. Exit 77 (a skipped test) when lintian is not installed.
set -uo pipefail
dir=$1
command -v lintian >/dev/null || { echo "lintian is not installed"; exit 77; }
shopt -s nullglob
debs=("$dir"/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "expected one .deb in $dir, found ${#debs[@]}"; exit 1; }
# --allow-root: CI runs as root; --fail-on error: warnings are reported, not fatal.
lintian --allow-root --fail-on error --display-info --tag-display-limit 0 "${debs[0]}"
status=$?
echo "lintian: exit status $status ($(basename "${debs[0]}"))"
exit $status
