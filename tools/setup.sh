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
# The package test compares an SFV check with Debian's cksfv.
package=(cksfv)
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
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
