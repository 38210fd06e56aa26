#!/usr/bin/env bash
# Runs the benchmarks and prints their figures: the CRC-32 methods, ISA-L's
# crc32_gzip_refl and zlib's crc32 on a buffer in cache and over a whole file
# beside a read-only loop (native, with the ratios), the whole-file CRC
# through the x64 DLL under Wine, and the search beside GNU find. Builds what
# it needs; the 1 GiB file and the search tree are made under build/bench on
# the first run.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

data=$repo/build/bench
big=$data/crc-1gib.bin
gib=$((1024 * 1024 * 1024))

echo "bench: building the native benchmarks and the x64 DLL"
cmake --preset native >/dev/null
cmake --build --preset native --target crc_bench search_bench
cmake --preset x64 >/dev/null
cmake --build --preset x64 --target tallowix crc_file_bench

mkdir -p "$data"
if [ "$(stat -c %s "$big" 2>/dev/null || echo 0)" -ne "$gib" ]; then
    echo "bench: making $big"
    head -c "$gib" /dev/urandom >"$big"
fi
cat "$big" >/dev/null  # into the page cache

echo
echo "bench: CRC-32 methods, ISA-L and zlib, in cache and over the whole file (native)"
build/native/tests/bench/crc_bench --benchmark_color=false "$big"

echo
echo "bench: whole-file CRC through the x64 DLL under Wine"
tools/wine-run.sh x64 build/x64/tests/bench/crc_file_bench.exe \
    "Z:${repo//\//\\}\\dist\\x64\\tallowix.dll" "Z:${big//\//\\}" | tr -d '\r'

echo
echo "bench: search of 100,000 files against GNU find (native)"
build/native/tests/bench/search_bench "$data/tree"
