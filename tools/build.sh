#!/usr/bin/env bash
# The main job: installs what is missing, builds both DLLs (dist/x86 and
# dist/x64) and the native core, then calls the 32-bit DLL under Wine exactly
# as mIRC would, asking for the CRC-32 of a file of this repository: once as
# $dll does, and once in the background, with tallowix-call standing in for
# mIRC's window and printing the signal it receives.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

tools/setup.sh
for preset in x86 x64 native; do
    echo "build: $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
done

file=res/tallowix.def
echo
echo "demo: \$dll(tallowix.dll, Get32BitCrc, $file) through the 32-bit DLL under Wine"
printf '  answer: '
tools/wine-run.sh x86 dist/x86/tallowix-call.exe Get32BitCrc "$file" | tr -d '\r'
printf '  check:  %s (gzip -c | tail -c8, the CRC zlib computes)\n' \
    "$(gzip -c "$file" | tail -c8 | head -c4 | od -An -tx4 | tr -d ' ')"
echo
echo "demo: \$dllcall(tallowix.dll, ..., SignalGet32BitCrc, demo $file), the signal mIRC receives"
printf '  signal: '
tools/wine-run.sh x86 dist/x86/tallowix-call.exe --window SignalGet32BitCrc "demo $file" | tr -d '\r'
