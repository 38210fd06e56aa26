#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the emulator suite,
# the fuzzer and the benchmarks need. Idempotent: it asks apt only for what is missing.
set -euo pipefail

native=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev
        libbenchmark-dev zlib1g-dev valgrind python3 zip unzip)
# The emulator suite: a 32-bit test kernel booted from a GRUB image in Bochs.
emulator=(bochs bochsbios vgabios bochs-term gcc-multilib g++-multilib grub-pc-bin
          xorriso mtools)
# The benchmarks' anchors: ISA-L's CRC-32 (zlib's comes with zlib1g-dev).
bench=(libisal-dev)
# The package test and the benchmarks compare SFV lists with cksfv and rhash;
# the code page 932 rows need a Japanese locale made with localedef.
package=(cksfv rhash locales)
cross=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
       g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 binutils-mingw-w64-i686
       binutils-mingw-w64-x86-64 wine64 wine32:i386 qemu-user)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: enabling the i386 architecture for 32-bit Wine"
    dpkg --add-architecture i386
fi

missing=()
for pkg in "${native[@]}" "${emulator[@]}" "${bench[@]}" "${package[@]}" "${cross[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
        || missing+=("$pkg")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "setup: all packages present"
    exit 0
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync can serve a stale or missing index (seen for
# the i386 half of the security suite). apt then finds no i386 build matching
# the amd64 libraries it already has, and wine32 cannot be installed. So an
# index that fails to update is reported, not fatal, and an install that cannot
# be resolved is retried with the base suite as the default release, which
# always holds matching builds for both architectures.
update_log=$(mktemp)
trap 'rm -f "$update_log"' EXIT
if ! apt-get update -q >"$update_log" 2>&1 || grep -q '^[WE]:' "$update_log"; then
    grep '^[WE]:' "$update_log" | head -n 3 | sed 's/^/setup: apt-get update: /'
    echo "setup: the package index is stale or incomplete; going on with what it has"
fi
if ! apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    echo "setup: the install could not be resolved against this index;" \
         "retrying with bookworm as the default release"
    apt-get install -y -q --no-install-recommends -t bookworm --allow-downgrades "${missing[@]}"
fi
