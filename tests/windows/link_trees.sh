#!/usr/bin/env bash
# Makes the search suite's directory links in DIRECTORY/links afresh: Unix
# links, which Wine lists as reparse points (Wine's CreateSymbolicLinkW makes
# none). Two links back to the parent; one link back (one0-3) or to itself
# (one4-7), named z0, a1, ... to fall either side of the suite's file; and a
# link to a folder outside the tree. And for the reliability suite's soak,
# which runs in the same directory: soak/d holds a link back to its parent
# and one to the sibling folder soak/e. And a start reached through a link:
# alias -> phys/start, whose up leads back to phys.
set -euo pipefail
links=${1:?usage: link_trees.sh DIRECTORY}/links
umount "$links/tm/a" "$links/tm/b" 2>/dev/null || true
rm -rf "$links"
mkdir -p "$links/two/d" "$links/in" "$links/outside"
ln -s .. "$links/two/d/a"
ln -s .. "$links/two/d/b"
for i in 0 1 2 3 4 5 6 7; do
    mkdir -p "$links/one$i/d"
    name=$([ $((i % 2)) -eq 1 ] && echo a || echo z)$i
    ln -s "$([ "$i" -lt 4 ] && echo .. || echo .)" "$links/one$i/d/$name"
done
ln -s ../outside "$links/in/out"
# A link to the T: drive root from inside T:\x; a ladder of 24 levels, two
# links each to the next; and, as root, a link between two tmpfs roots.
t=$1/drive_t
rm -rf "$t/x" && mkdir -p "$t/x/y" && ln -s "$t" "$t/x/y/r1"
for i in $(seq 1 24); do
    mkdir -p "$links/lad/$i" "$links/lad/$((i - 1))"
    ln -s "../$i" "$links/lad/$((i - 1))/a" && ln -s "../$i" "$links/lad/$((i - 1))/b"
done
mkdir -p "$links/tm/a" "$links/tm/b"
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs a "$links/tm/a" && mount -t tmpfs b "$links/tm/b"; then
    echo tmpfs >"$links/tm/b/f.bin" && ln -s ../b "$links/tm/a/l"
fi
mkdir -p "$links/soak/d" "$links/soak/e"
ln -s .. "$links/soak/d/up"
ln -s ../e "$links/soak/d/side"
mkdir -p "$links/phys/start" "$links/phys/other"
ln -s phys/start "$links/alias"
ln -s .. "$links/phys/start/up"
