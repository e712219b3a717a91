#!/usr/bin/env bash
# Renders each manual page given with man and with groff, and fails on any
# warning or error either reports (bad requests, unknown escapes, lines that
# cannot be broken or adjusted at 80 columns), or on a page without the
# sections every page of ours has.
set -uo pipefail
status=0
for page in "$@"; do
  warnings=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null
             groff -ww -z -man -Tutf8 "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page: warnings:"; echo "$warnings"; status=1
  fi
  text=$(MANWIDTH=80 LC_ALL=C.UTF-8 man -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || { echo "$page: no $section section"; status=1; }
  done
  [ $status -eq 0 ] && echo "$page: renders cleanly ($(wc -l <<<"$text") lines)"
done
exit $status
