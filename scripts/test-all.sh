#!/usr/bin/env bash
# Builds the three configurations and runs every test:
#   build/        Linux, Release: unit tests and end-to-end runs of the program
#   build-asan/   Linux with AddressSanitizer and UndefinedBehaviorSanitizer
#   build-win32/  Windows (MinGW-w64, i686): the unit tests as Windows programs
#                 under Wine, then the end-to-end runs of parcelstub.exe
# Installs what a fresh Debian machine lacks first. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

step() { echo; echo "=== $* ($(date +%H:%M:%S))"; }

step "Installing dependencies"
bash scripts/install-deps.sh

step "Linux build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPARCEL_WINE_EXE= >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure
build/bench/crc32_bench

step "Linux build with sanitizers"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPARCEL_SANITIZE=ON >/dev/null
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure

step "Windows build"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win32 -j2
file build-win32/parcelstub.exe

step "Preparing Wine"
prefix=$root/build-win32/wineprefix
trap 'WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true' EXIT
# The first start makes the prefix; keep one server for all the runs.
cmake/wine-run.sh "$prefix" wineboot -i
WINEPREFIX=$prefix wineserver -p

step "Windows unit tests under Wine"
ctest --test-dir build-win32 --output-on-failure

step "Windows program end to end under Wine"
cmake -S . -B build -DPARCEL_WINE_EXE="$root/build-win32/parcelstub.exe" \
  -DPARCEL_WINE_PREFIX="$prefix" >/dev/null
cmake --build build -j2 --target e2e_test
ctest --test-dir build -R wine_e2e_test --output-on-failure

step "All tests passed"
