#!/usr/bin/env bash
# Runs the fuzz targets of a fuzz build (-DPARCEL_FUZZ=ON) for a fixed time.
#
#   tests/fuzz/run-fuzz.sh BUILD-DIR SECONDS [TARGET...]
#
# TARGET is readers, join or parcel (default: all three, one after the
# other). Each first replays its reproducers in tests/fuzz/regressions/TARGET/,
# then fuzzes for SECONDS from its seed corpus (tests/fuzz/corpus/TARGET/,
# read only; parcel also starts from join's, whose inputs have the same form)
# and its work corpus BUILD-DIR/fuzz-corpus/TARGET/ (kept between runs). Findings are
# written to BUILD-DIR/fuzz-findings/. The exit code is non-zero when any
# target failed a reproducer or found something.
#
# Environment: FUZZ_JOBS=N runs N fuzzing processes per target that go on
# after a finding (libFuzzer's -fork mode; findings are collected, not
# fatal, and the exit code says whether there were any). FUZZ_ARGS adds
# libFuzzer options.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: run-fuzz.sh BUILD-DIR SECONDS [TARGET...]}
seconds=${2:?usage: run-fuzz.sh BUILD-DIR SECONDS [TARGET...]}
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(readers join parcel par2)
build=$(cd "$build" && pwd)
findings=$build/fuzz-findings
mkdir -p "$findings"

failed=0
for target in "${targets[@]}"; do
  binary=$build/tests/fuzz/fuzz_$target
  if [ ! -x "$binary" ]; then
    echo "run-fuzz: $binary is missing (configure with -DPARCEL_FUZZ=ON)" >&2
    failed=1
    continue
  fi
  seeds=("$here/corpus/$target")
  case $target in
    join) max_len=65536 ;;
    parcel) max_len=65536; seeds+=("$here/corpus/join") ;;
    *) max_len=16384 ;;
  esac
  corpus=$build/fuzz-corpus/$target
  mkdir -p "$corpus"
  common=(-timeout=10 -rss_limit_mb=2048 -max_len=$max_len -artifact_prefix="$findings/$target-")

  regressions=("$here/regressions/$target"/*)
  if [ -e "${regressions[0]}" ]; then
    echo "--- fuzz_$target: replaying ${#regressions[@]} reproducer(s)"
    if ! "$binary" "${common[@]}" "${regressions[@]}" >"$findings/$target-replay.log" 2>&1; then
      grep -E "finding:|ERROR:|runtime error|Running:" "$findings/$target-replay.log" | tail -20
      echo "run-fuzz: fuzz_$target fails a reproducer (log: $findings/$target-replay.log)" >&2
      failed=1
    fi
  fi

  echo "--- fuzz_$target: fuzzing for ${seconds}s"
  log=$findings/$target.log
  before=$(find "$findings" -maxdepth 1 -name "$target-crash-*" -o -maxdepth 1 -name "$target-timeout-*" \
             -o -maxdepth 1 -name "$target-oom-*" -o -maxdepth 1 -name "$target-leak-*" | wc -l)
  extra=()
  if [ -n "${FUZZ_JOBS:-}" ]; then
    extra=(-fork="$FUZZ_JOBS" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
  fi
  # shellcheck disable=SC2086
  "$binary" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 "${extra[@]}" \
    ${FUZZ_ARGS:-} "$corpus" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  after=$(find "$findings" -maxdepth 1 -name "$target-crash-*" -o -maxdepth 1 -name "$target-timeout-*" \
            -o -maxdepth 1 -name "$target-oom-*" -o -maxdepth 1 -name "$target-leak-*" | wc -l)
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*(DONE|cov:)" "$log" | tail -3
  if [ "$rc" -ne 0 ] || [ "$after" -gt "$before" ]; then
    grep -E "finding:|ERROR:|runtime error|SUMMARY|Test unit written" "$log" | head -20
    echo "run-fuzz: fuzz_$target found $((after - before)) new problem(s) (log: $log)" >&2
    failed=1
  fi
done
exit $failed
