#!/usr/bin/env bash
# Runs the benchmarks and prints their figures: the CRC-32 methods, ISA-L's
# crc32_gzip_refl and zlib's crc32 on a buffer in cache and over a whole file
# beside a read-only loop (native, with the ratios), the whole-file CRC
# through the x64 DLL under Wine, SFV lists checked and made through it
# (made beside cksfv and rhash, natively), and the search beside GNU find.
# Builds what it needs; the 1 GiB file and the search tree are made under build/bench on
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
cmake --build --preset x64 --target tallowix crc_file_bench sfv_bench

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

# SFV lists: 40 files of 25 MB, 1,000 of 64 KB, 100,000 empty ones.
make_sfv() {  # make_sfv DIR COUNT BYTES
    [ -f "$1/list.sfv" ] && return
    echo "bench: making $1"
    mkdir -p "$1"
    python3 - "$@" <<'PY'
import os, sys, zlib
folder, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
with open(os.path.join(folder, "list.sfv"), "w") as sfv:
    for i in range(count):
        data = os.urandom(size)
        name = "f%06d.bin" % i
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        sfv.write("%s %08x\n" % (name, zlib.crc32(data)))
PY
}
make_sfv "$data/sfv-25mb" 40 $((25 * 1000 * 1000))
make_sfv "$data/sfv-64kb" 1000 65536
make_sfv "$data/sfv-empty" 100000 0
cat "$data"/sfv-25mb/* "$data"/sfv-64kb/* >/dev/null

echo
echo "bench: SFV lists through the x64 DLL under Wine"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
sfv=$(tools/wine-run.sh x64 build/x64/tests/bench/sfv_bench.exe "$(winpath "$repo/dist/x64/tallowix.dll")" \
    "$(winpath "$data/sfv-25mb/list.sfv")" "$(winpath "$data/sfv-64kb/list.sfv")" \
    "$(winpath "$data/sfv-empty/list.sfv")" | tr -d '\r')
echo "$sfv"

# The same make by the packaged tools, in the same folder and cache.
make_by() {  # make_by COMMAND...: the median of three, in seconds
    local start
    for _ in 1 2 3; do
        start=$(date +%s.%N)
        (cd "$data/sfv-25mb" && "$@" f*.bin >made-by-tool.sfv)
        awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { print b - a }'
        rm -f "$data/sfv-25mb/made-by-tool.sfv"
    done | sort -n | sed -n 2p
}
echo
echo "bench: making the list of 40 files of 25 MB natively, median of 3"
dll_make=$(sed -n 's/.*SignalMakeSfv \([0-9.]*\) s.*/\1/p' <<<"$sfv" | head -1)
for tool in "cksfv -b" "rhash --sfv"; do
    # shellcheck disable=SC2086  # the tool's words
    seconds=$(make_by $tool)
    printf '%-12s %.3f s, SignalMakeSfv under Wine %.3f s: the DLL at %.2fx its speed\n' \
        "$tool" "$seconds" "$dll_make" "$(awk -v a="$seconds" -v b="$dll_make" 'BEGIN { print a / b }')"
done

echo
echo "bench: search of 100,000 files against GNU find (native)"
build/native/tests/bench/search_bench "$data/tree"
