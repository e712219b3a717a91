#!/usr/bin/env bash
# Builds the three configurations and runs every test:
#   build/        Linux, Release: unit tests and end-to-end runs of the program
#   build-asan/   Linux, Debug, with AddressSanitizer and UndefinedBehaviorSanitizer
#   build-fuzz/   Linux, clang with libFuzzer, ASan and UBSan: the fuzz targets,
#                 30 seconds each
#   build-win32/  Windows (MinGW-w64, i686): the unit tests as Windows programs
#                 under Wine, a check of the .exe's format and imports, then the
#                 end-to-end runs of parcelstub.exe under Wine, and the same
#                 program on a virtual display, answered like an operator
# Installs what a fresh Debian machine lacks first (as root, no input needed).
#
# Every stage runs even when an earlier one failed (a stage whose build
# failed skips its tests), and a summary with the time of each stage closes the
# output. Its last line counts the tests of all ctest runs, plus one failure
# for each stage that failed outside ctest. The exit code is 0 only when every
# stage passed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$PWD
jobs=${PARCEL_JOBS:-2}
prefix=$root/build-win32/wineprefix

summary=()
failures=0
tests_passed=0
tests_failed=0
started=$(date +%s)

# stage NAME COMMAND...: runs one stage, times it and records the outcome.
stage() {
  local name=$1 begin status rc
  shift
  begin=$(date +%s)
  echo
  echo "=== $name ($(date +%H:%M:%S))"
  "$@"
  rc=$?
  if [ $rc -eq 0 ]; then status=ok; else status=FAILED; fi
  summary+=("$(printf '  %-40s %-7s %5ss' "$name" "$status" "$(($(date +%s) - begin))")")
  return "$rc"
}

skip() { summary+=("$(printf '  %-40s %-7s' "$1" skipped)"); }

# ctest_run ARGS...: ctest with its output shown and its counts added up.
ctest_run() {
  local log rc line total failed
  log=$(mktemp)
  ctest --output-on-failure --no-tests=error "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  rm -f "$log"
  if [ -n "$line" ]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    tests_passed=$((tests_passed + total - failed))
    tests_failed=$((tests_failed + failed))
  elif [ "$rc" -ne 0 ]; then
    tests_failed=$((tests_failed + 1))  # ctest itself failed
  fi
  return "$rc"
}

# A stage that failed outside ctest counts as one failed test in the total.
build_failed() { failures=$((failures + 1)); tests_failed=$((tests_failed + 1)); }
test_failed() { failures=$((failures + 1)); }

configure_build() {  # configure_build DIR CMAKE-ARGS...
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null && cmake --build "$dir" -j"$jobs"
}

stop_wine() {
  if [ -d "$prefix" ]; then
    WINEPREFIX=$prefix TMPDIR=/tmp timeout 60 wineserver -k >/dev/null 2>&1 || true
  fi
}
trap stop_wine EXIT

if ! stage "Dependencies" bash scripts/install-deps.sh; then
  echo "Installing the dependencies failed; nothing can be built." >&2
  exit 1
fi

# --- Linux -------------------------------------------------------------------
linux_built=0
if stage "Linux build (Release)" configure_build build -DCMAKE_BUILD_TYPE=Release -DPARCEL_WINE_EXE= \
    -DPARCEL_WINDOWS_STUB=; then
  linux_built=1
  stage "Linux tests" ctest_run --test-dir build -LE package || test_failed
  stage "CRC-32 throughput" build/bench/crc32_bench || build_failed
else
  build_failed; skip "Linux tests"
fi

# CRC-32 away from x86: its unit test built for aarch64, run under qemu-user.
stage "CRC-32 test on aarch64 (qemu-user)" bash tests/cross/crc32-aarch64.sh build-aarch64 || test_failed

if stage "Linux build with sanitizers (Debug)" configure_build build-asan -DCMAKE_BUILD_TYPE=Debug -DPARCEL_SANITIZE=ON; then
  stage "Linux tests with sanitizers" ctest_run --test-dir build-asan || test_failed
else
  build_failed; skip "Linux tests with sanitizers"
fi

# --- Fuzzing -----------------------------------------------------------------
# The libFuzzer targets (clang, ASan + UBSan) replay their reproducers and run
# for a short fixed time each; a finding fails the stage. PARCEL_FUZZ_SECONDS
# sets the time per target.
fuzz_seconds=${PARCEL_FUZZ_SECONDS:-30}
fuzz_build() {  # only the four targets and what they link
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DPARCEL_FUZZ=ON -DPARCEL_TESTS=OFF >/dev/null &&
    cmake --build build-fuzz -j"$jobs" --target fuzz_readers fuzz_join fuzz_parcel fuzz_par2
}
if stage "Fuzz build (clang, libFuzzer)" fuzz_build; then
  stage "Fuzz targets (${fuzz_seconds}s each)" bash tests/fuzz/run-fuzz.sh build-fuzz "$fuzz_seconds" || test_failed
else
  build_failed; skip "Fuzz targets (${fuzz_seconds}s each)"
fi

# --- Windows -----------------------------------------------------------------
if stage "Windows build (MinGW-w64 i686, Release)" configure_build build-win32 \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=Release; then
  # Makes the prefix on first use and starts the session that the tests share.
  if stage "Wine prefix and session" cmake/wine-run.sh "$prefix" cmd /c exit 0; then
    stage "Windows tests under Wine" ctest_run --test-dir build-win32 || test_failed
    if stage "Linux build of the Wine end-to-end runs" configure_build build \
        -DPARCEL_WINE_EXE="$root/build-win32/parcelstub.exe" -DPARCEL_WINE_PREFIX="$prefix"; then
      # The self-joining program, and the parcel tool (Windows build) beside it.
      stage "Windows program end to end under Wine" ctest_run --test-dir build -R '^wine_(e2e|link|parcel_tool|parcel_safety|recovery_interop)_test$' || test_failed
    else
      build_failed; skip "Windows program end to end under Wine"
    fi
  else
    build_failed; skip "Windows tests under Wine"; skip "Windows program end to end under Wine"
  fi
else
  build_failed; skip "Windows tests under Wine"; skip "Windows program end to end under Wine"
fi
stop_wine

# --- Windows program on a virtual display ------------------------------------------
# parcelstub.exe under Wine on Xvfb: its dialog and message boxes found by their
# titles, read and answered (tests/display/), one case at a time, each with its
# own X server and Wine session in build-win32/wineprefix-display. Pictures of
# the windows are left in build-win32/display-shots/.
display_build() {
  cmake --build build-win32 -j"$jobs" --target parcelstub displayhelper &&
    configure_build build -DPARCEL_WINE_EXE="$root/build-win32/parcelstub.exe" -DPARCEL_WINE_PREFIX="$prefix" \
      -DPARCEL_DISPLAY_HELPER="$root/build-win32/tests/displayhelper.exe"
}
if [ ! -f build-win32/parcelstub.exe ]; then
  skip "Windows program on a virtual display"  # the Windows build failed (counted above)
elif stage "Linux build of the display tests" display_build; then
  stage "Windows program on a virtual display" ctest_run --test-dir build -L '^display$' || test_failed
else
  build_failed; skip "Windows program on a virtual display"
fi

# --- Debian package ----------------------------------------------------------
# The package (built, contents, unpacked programs, lintian) and the manual
# pages: the tests labelled "package". Made last so that it carries the
# Windows self-joining program of the stage above (/usr/lib/parcel/
# parcelstub.exe, for `parcel split --stub windows`); where the Windows
# build failed or is missing, the package is made and checked without it.
windows_stub=
[ -f build-win32/parcelstub.exe ] && windows_stub=$root/build-win32/parcelstub.exe
if [ "$linux_built" = 0 ]; then
  skip "Debian package and manual pages"  # the Linux build failed (counted above)
elif stage "Linux build of the package" configure_build build -DPARCEL_WINDOWS_STUB="$windows_stub"; then
  stage "Debian package and manual pages" ctest_run --test-dir build -L package || test_failed
else
  build_failed; skip "Debian package and manual pages"
fi

# --- Summary -----------------------------------------------------------------
echo
echo "=== Summary ($(($(date +%s) - started))s in all)"
printf '%s\n' "${summary[@]}"
if [ $failures -eq 0 ]; then
  echo "All stages passed."
else
  echo "$failures stage(s) failed."
fi
echo "tests: $tests_passed passed, $tests_failed failed"
[ $failures -eq 0 ]
