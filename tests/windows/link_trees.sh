#!/usr/bin/env bash
# Makes the directory-link trees of the search suite in DIRECTORY/links: Unix
# links, which Wine lists as directories marked as reparse points (a Windows
# program under Wine cannot make them itself). Made afresh before each run.
#   two/d/a, two/d/b -> ..        two links back to the parent
#   one0..3/d/LINK -> ..          one link back, beside a file the suite writes
#   one4..7/d/LINK -> .           a link to the directory holding it
#   in/out -> ../outside          a link to a folder outside the tree
# LINK is a0, z1, a2, ...: named on either side of the file in the listing.
set -euo pipefail
links=${1:?usage: link_trees.sh DIRECTORY}/links
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
