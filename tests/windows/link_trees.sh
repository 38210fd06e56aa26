#!/usr/bin/env bash
# Makes the search suite's directory links in DIRECTORY/links afresh: Unix
# links, which Wine lists as reparse points (Wine's CreateSymbolicLinkW makes
# none). Two links back to the parent; one link back (one0-3) or to itself
# (one4-7), named z0, a1, ... to fall either side of the suite's file; and a
# link to a folder outside the tree. And for the reliability suite's soak,
# which runs in the same directory: soak/d holds a link back to its parent
# and one to the sibling folder soak/e.
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
mkdir -p "$links/soak/d" "$links/soak/e"
ln -s .. "$links/soak/d/up"
ln -s ../e "$links/soak/d/side"
