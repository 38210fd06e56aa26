#!/usr/bin/env bash
# Builds the release package dist/tallowix-VERSION.zip: both DLLs and both
# tallowix-call.exe (x86/ and x64/), the mIRC script, a readme and SHA256SUMS.
# Builds whatever of the two architectures is missing first. The same commit
# gives the same bytes: every file carries the commit's date (or
# SOURCE_DATE_EPOCH) and one mode, and the entries go in sorted order without
# extra attributes or directory entries.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

version=$(sed -n 's/.*VALUE "FileVersion", *"\([^"]*\)".*/\1/p' res/tallowix.rc)
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
zipfile=$repo/dist/tallowix-$version.zip

for arch in x86 x64; do
    [ -f "build/$arch/CMakeCache.txt" ] || cmake --preset "$arch" >/dev/null
    echo "package: building the $arch DLL and tallowix-call"
    cmake --build --preset "$arch" --target tallowix tallowix-call
done

stage=build/package
rm -rf "$stage" "$zipfile"
mkdir -p "$stage/x86" "$stage/x64"
for arch in x86 x64; do
    cp "dist/$arch/tallowix.dll" "dist/$arch/tallowix-call.exe" "$stage/$arch/"
done
# Text files get Windows line ends: their readers are Windows users.
sed 's/$/\r/' examples/tallowix.mrc >"$stage/tallowix.mrc"
sed 's/$/\r/' tools/package-readme.txt >"$stage/readme.txt"

cd "$stage"
files=$(find . -type f | sed 's|^\./||' | LC_ALL=C sort)
sha256sum $files >SHA256SUMS
files="SHA256SUMS $files"
chmod 644 $files
TZ=UTC0 touch -d "@$epoch" $files
echo "package: writing $zipfile"
printf '%s\n' $files | TZ=UTC0 zip -X -D -q -9 "$zipfile" -@
sha256sum "$zipfile"
