#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and tests the native
# core (plain, with the CRC methods in Bochs, and under ASan/UBSan), a
# one-minute fuzzing run of the argument line, the 32-bit DLL under 32-bit
# Wine and the 64-bit DLL under 64-bit Wine, one CTest workflow each.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

tools/setup.sh
for preset in native native-asan fuzz x86 x64; do
    echo "test: $preset"
    cmake --workflow --preset "$preset"
done
