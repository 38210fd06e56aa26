#!/usr/bin/env bash
# Builds the release package twice and checks that both builds are the same
# bytes, then unpacks it and, for each architecture, makes through the
# packaged tallowix-call and DLL the very calls that tallowix.mrc's aliases
# make, plus tallowix-call's own failure cases.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$repo"
failures=0
expect() {  # expect WHAT ACTUAL EXPECTED
    [ "$2" == "$3" ] && echo "ok: $1" && return
    echo "FAIL: $1: got '$2', want '$3'"
    failures=$((failures + 1))
}

read -r first_sum zipfile < <(tools/package.sh | tail -n 1)
touch dist/x86/* dist/x64/* examples/tallowix.mrc
read -r second_sum _ < <(tools/package.sh | tail -n 1)
expect "two builds give the same zip" "$second_sum" "$first_sum"

work=$(mktemp -d "$repo/build/package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
unzip -q "$zipfile" -d "$work/pkg"
expect "package contents" "$(cd "$work/pkg" && find . -type f | LC_ALL=C sort | tr '\n' ' ')" \
    "./SHA256SUMS ./readme.txt ./tallowix.mrc ./x64/tallowix-call.exe ./x64/tallowix.dll ./x86/tallowix-call.exe ./x86/tallowix.dll "
expect "SHA256SUMS matches" "$(cd "$work/pkg" && sha256sum --quiet -c SHA256SUMS 2>&1)" ""
# The script reaches the DLL only through $tallowix.dll, whose folders for $bits 64 and 32
# the package holds; the readme's examples name no bare tallowix.dll.
mrc=$(tr -d '\r' <"$work/pkg/tallowix.mrc")
expect "the script's DLL calls" "$(grep -oE '\$dll(call)?\([^,)]*,|dll -u .*' <<<"$mrc" | sort -u | tr '\n' ' ')" \
    '$dll($tallowix.dll, $dllcall($tallowix.dll, dll -u $tallowix.dll '
dirs=$(sed -nE 's/^alias tallowix\.path \{ return \$\+\(\$scriptdir,\$iif\(\$bits == 64,([^,]+),([^)]+)\),\\tallowix\.dll\) \}$/\1 \2/p' <<<"$mrc")
expect "the script's DLLs are in the package" "$(for d in $dirs; do [ -f "$work/pkg/$d/tallowix.dll" ] && printf '%s ' "$d"; done)" "x64 x86 "
expect "readme examples name the DLL's folder" "$(grep -c 'dll(tallowix\.dll' "$work/pkg/readme.txt")" 0

# A small tree and an SFV list for it, in a folder whose name has a space.
files="$work/files dir"
mkdir -p "$files/sub"
printf 'tallowix\n' >"$files/sub/two words.txt"
printf 'second\n' >"$files/bad.txt"
# A name outside the code page, as an SFV list read by mIRC 7 hands it over.
mkdir -p "$files/日本"
printf 'nihon\n' >"$files/日本/Björk.txt"
crc() { python3 -c 'import sys, zlib; print("%08x" % zlib.crc32(open(sys.argv[1], "rb").read()))' "$1"; }
words_crc=$(crc "$files/sub/two words.txt")
nihon_crc=$(crc "$files/日本/Björk.txt")
cat >"$files/check.sfv" <<SFV
; made by the package test
sub\\two words.txt $words_crc
日本\\Björk.txt $nihon_crc
bad.txt 0badc0de
gone.txt 12345678
SFV
windows() { printf 'Z:%s' "${1//\//\\}"; }
windir=$(windows "$files")

for arch in x86 x64; do
    run() { tools/wine-run.sh "$arch" "$work/pkg/$arch/tallowix-call.exe" "$@"; }
    call() { run "$@" | tr -d '\r'; }
    words="$windir\\sub\\two words.txt"
    expect "$arch \$crc32(file)" "$(call Get32BitCrc "$words")" "$words_crc"
    expect "$arch \$findcrc(size,crc,dir)" "$(call MIRCFindFileSizeCrc "9,$words_crc,$windir")" "$words"
    expect "$arch FindFileSizeCrc" "$(call --plain 9 "0x$words_crc" "$windir")" "$words"
    expect "$arch \$findcrc in UTF-8" "$(call MIRCFindFileSizeCrc "6,$nihon_crc,$windir")" \
        "$windir\\日本\\Björk.txt"
    expect "$arch \$tallowix.version(FileVersion)" "$(call GetDllVersion FileVersion)" "1.01"
    # The background forms, with tallowix-call standing in for mIRC's window.
    expect "$arch /crc32.bg TAG FILE" "$(call --window SignalGet32BitCrc "t1 $words")" \
        "/signal tallowix Get32BitCrc t1 $words_crc"
    expect "$arch /findcrc.bg TAG SIZE CRC DIR" \
        "$(call --window SignalFindFileSizeCrc "t2 6,$nihon_crc,$windir")" \
        "/signal tallowix MIRCFindFileSizeCrc t2 $windir\\日本\\Björk.txt"

    # /sfvcheck: one background call checks the whole list, one signal per entry.
    verdicts=$(call --window SignalCheckSfv "sfv1 $windir\\check.sfv" | sed 's|^/signal tallowix CheckSfv sfv1 ||' | tr '\n' ';')
    expect "$arch /sfvcheck" "$verdicts" \
        '1/4 OK sub\two words.txt;2/4 OK 日本\Björk.txt;3/4 BAD bad.txt;4/4 MISSING gone.txt;done 2 1 1 0 0;'
    # The same verdicts as Debian's cksfv gives the list (with "/" names, as it reads them;
    # it fails, as it should, for the bad and the missing file).
    tr '\\' '/' <"$files/check.sfv" >"$files/slash.sfv"
    ours=$(call --window SignalCheckSfv "sfv2 $windir\\slash.sfv" | sed -n 's|^/signal tallowix CheckSfv sfv2 [0-9]*/[0-9]* ||p' |
        sed -E 's/^(OK|BAD|MISSING) (.*)$/\2 \1/' | LC_ALL=C sort)
    theirs=$({ cksfv -g "$files/slash.sfv" 2>&1 || true; } | grep -v "^cksfv: " | sed -nE 's/^(.*[^ ]) +(OK|different CRC|No such file or directory)$/\1 \2/p' |
        sed -e 's/ different CRC$/ BAD/' -e 's/ No such file or directory$/ MISSING/' | LC_ALL=C sort)
    expect "$arch /sfvcheck agrees with cksfv" "$ours" "$theirs"

    # /sfvmake: the list it writes checks OK in cksfv, rhash and /sfvcheck; the
    # name check agrees with rhash --check-embedded.
    rm -rf "$files/made" && mkdir -p "$files/made/sub" && printf 'made' >"$files/made/two words.txt"
    printf 'x' >"$files/made/Björk [8CDC1683].txt" && printf 'y' >"$files/made/bad [8CDC1683].txt"
    call --window SignalMakeSfv "mk1 $windir\\made\\made.sfv" >/dev/null
    expect "$arch /sfvmake checks in cksfv and rhash" \
        "$(cd "$files/made" && cksfv -q -f made.sfv >/dev/null 2>&1 && rhash -c --skip-ok made.sfv >/dev/null 2>&1 && echo OK)" OK
    expect "$arch /sfvmake checks in /sfvcheck" \
        "$(call --window SignalCheckSfv "sfv3 $windir\\made\\made.sfv" | tail -n 1)" "/signal tallowix CheckSfv sfv3 done 3 0 0 0 0"
    ours=$(call --window SignalCheckNameCrc "nc1 $windir\\made" | sed -nE 's|^/signal tallowix CheckNameCrc nc1 [0-9]+/[0-9]+ (OK\|BAD) (.*)$|\2 \1|p' | LC_ALL=C sort)
    theirs=$(cd "$files/made" && { rhash --check-embedded ./*'['* 2>&1 || true; } |
        sed -nE 's|^(\./)?(.*[^ ]) +(OK\|ERR) *$|\2 \3|p' | sed 's/ ERR$/ BAD/' | LC_ALL=C sort)
    expect "$arch /crccheck agrees with rhash --check-embedded" "$ours" "$theirs"

    long=$(printf '%0900d' 0)
    for case in "missing DLL|--dll Z:\\nowhere\\tallowix.dll Get32BitCrc x" \
                "missing routine|NoSuchRoutine x" \
                "text longer than the buffer|--bytes 900 Get32BitCrc $long" \
                "CRC that is not hexadecimal|--plain 9 0x0x1 Z:\\nowhere"; do
        read -r -a args <<<"${case#*|}"
        status=0
        run "${args[@]}" >"$work/out" 2>"$work/err" || status=$?
        lines=$(tr -d '\r' <"$work/err" | grep -c '^tallowix-call: ' || true)
        expect "$arch ${case%%|*}: status, stdout, stderr lines" \
            "$([ "$status" -ne 0 ] && echo fails) $(wc -c <"$work/out") $lines $(wc -l <"$work/err")" \
            "fails 0 1 1"
    done
done

[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "all passed"
