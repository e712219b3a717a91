#!/usr/bin/env bash
# Builds the CRC-32 unit test for 64-bit ARM and runs it under qemu-user.
# Away from x86 only the sliced table loop is compiled, and it has to build
# without warnings and pass there as well. Usage: crc32-aarch64.sh [OUTDIR]
# (default build-aarch64/); GoogleTest is compiled from /usr/src/googletest
# once per folder.
set -euo pipefail
cd "$(dirname "$0")/../.."
out=${1:-build-aarch64}
cxx=aarch64-linux-gnu-g++
sysroot=/usr/aarch64-linux-gnu
gtest=/usr/src/googletest/googletest

for tool in "$cxx" qemu-aarch64; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed" >&2; exit 1; }
done
mkdir -p "$out"
flags=(-O2 -std=c++17 -I. -I"$gtest/include")
if [ ! -s "$out/gtest-all.o" ]; then
  "$cxx" "${flags[@]}" -I"$gtest" -c "$gtest/src/gtest-all.cc" -o "$out/gtest-all.o.tmp"
  mv "$out/gtest-all.o.tmp" "$out/gtest-all.o"
fi
"$cxx" "${flags[@]}" -Wall -Wextra -Werror CRC32/CRC32.cpp tests/crc32_test.cpp \
  "$gtest/src/gtest_main.cc" "$out/gtest-all.o" -lpthread -o "$out/crc32_test"
qemu-aarch64 -L "$sysroot" "$out/crc32_test"
