#!/usr/bin/env bash
# Runs one Windows program under Wine with one more drive letter:
#   wine-run-drive.sh x86|x64 LETTER DIRECTORY PROGRAM.exe [ARGS...]
#
# The drive is a link in the prefix's dosdevices folder, beside c: and z:,
# made afresh before each run (DefineDosDevice does not reach Wine's file
# system). The program then runs through wine-run.sh as usual.
set -euo pipefail

arch=${1:?usage: wine-run-drive.sh x86|x64 LETTER DIRECTORY PROGRAM.exe [ARGS...]}
letter=${2:?drive letter missing}
target=${3:?directory missing}
shift 3
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
prefix=${TALLOWIX_WINE_ROOT:-$repo/build/wine}/$arch

if [ ! -d "$prefix/dosdevices" ]; then
    # Wine makes c: and z: only with a new dosdevices folder; make them here.
    echo "wine-run-drive.sh: setting up $prefix/dosdevices"
    mkdir -p "$prefix/dosdevices" "$prefix/drive_c"
    ln -s ../drive_c "$prefix/dosdevices/c:"
    ln -s / "$prefix/dosdevices/z:"
fi
mkdir -p "$target"
ln -sfn "$target" "$prefix/dosdevices/${letter,,}:"
exec "$repo/tools/wine-run.sh" "$arch" "$@"
