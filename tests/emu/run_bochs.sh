#!/usr/bin/env bash
# Boots the CRC test kernel in Bochs on one emulated CPU and checks its lines:
#
#     run_bochs.sh KERNEL.elf CPU_MODEL EXPECTED_METHOD [KERNEL_OPTION...]
#
# Passes when the kernel reports no failure and that the library chose
# EXPECTED_METHOD. Each KERNEL_OPTION goes on the kernel line: `xcr0=HEX`
# (the state components the kernel enables), `osxsave=0` (XGETBV left off). Debian's Bochs has no display-less mode and
# starts in its debugger, so it runs with the terminal display under
# `script` (which gives it a terminal), with a debugger command file that
# holds `c` (continue); it keeps running after the kernel halts, so this
# script ends it after the kernel's last line, or after
# TALLOWIX_BOCHS_TIMEOUT seconds (default 120) with a failure.
set -euo pipefail

kernel=${1:?usage: run_bochs.sh KERNEL.elf CPU_MODEL EXPECTED_METHOD [KERNEL_OPTION...]}
model=${2:?cpu model missing}
expected=${3:?expected method missing}
shift 3
options=${*:-}
timeout=${TALLOWIX_BOCHS_TIMEOUT:-120}

work=$(mktemp -d)
bochs_pid=
script_pid=
stop_bochs() {
    if [ -n "$bochs_pid" ] && kill -0 "$bochs_pid" 2>/dev/null; then
        kill -KILL "$bochs_pid"  # Bochs ignores SIGTERM while it runs
    fi
    if [ -n "$script_pid" ]; then
        wait "$script_pid" 2>/dev/null || true
    fi
}
trap 'stop_bochs; rm -rf "$work"' EXIT

echo "run_bochs: $model${options:+, $options}, expecting $expected"
mkdir -p "$work/iso/boot/grub"
cp "$kernel" "$work/iso/boot/crc_kernel.elf"
cat >"$work/iso/boot/grub/grub.cfg" <<EOF
set timeout=0
menuentry crc_kernel {
    multiboot /boot/crc_kernel.elf${options:+ $options}
    boot
}
EOF
grub-mkrescue -o "$work/crc.iso" "$work/iso" >"$work/grub.log" 2>&1 \
    || { cat "$work/grub.log"; exit 1; }

cat >"$work/bochsrc" <<EOF
megs: 64
romimage: file=/usr/share/bochs/BIOS-bochs-latest
vgaromimage: file=/usr/share/vgabios/vgabios.bin
cpu: model=$model, reset_on_triple_fault=0
ata0-master: type=cdrom, path=$work/crc.iso, status=inserted
boot: cdrom
display_library: term
port_e9_hack: enabled=1
speaker: enabled=0
log: $work/bochs.log
panic: action=fatal
error: action=report
clock: sync=none
EOF
echo c >"$work/debugger.rc"

# The debug port's bytes reach Bochs's standard output, the terminal that
# `script` copies into screen.txt between the display's own updates.
start=$SECONDS
TERM=vt100 script -qfc "echo \$\$ >'$work/pid'; exec bochs -q -f '$work/bochsrc' \
    -rc '$work/debugger.rc' 2>'$work/stderr.txt'" /dev/null >"$work/screen.txt" </dev/null &
script_pid=$!

# The kernel's lines: escape sequences and carriage returns taken out.
guest_lines() {
    sed -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r//g' "$work/screen.txt" \
        | sed -n '/crc_kernel: start/,/crc_kernel: done/p'
}

status=timeout
while [ $((SECONDS - start)) -lt "$timeout" ]; do
    [ -z "$bochs_pid" ] && [ -s "$work/pid" ] && bochs_pid=$(cat "$work/pid")
    if grep -aq 'crc_kernel: done' "$work/screen.txt"; then
        status=done
        break
    fi
    if ! kill -0 "$script_pid" 2>/dev/null; then
        status=exited
        break
    fi
    sleep 0.5
done
elapsed=$((SECONDS - start))
[ -z "$bochs_pid" ] && [ -s "$work/pid" ] && bochs_pid=$(cat "$work/pid")
stop_bochs

guest_lines
fail() {
    echo "run_bochs: FAIL ($model): $1"
    echo "run_bochs: the end of Bochs's log:"
    tail -n 15 "$work/bochs.log" 2>/dev/null || true
    tail -n 5 "$work/stderr.txt" 2>/dev/null || true
    exit 1
}
case $status in
timeout) fail "no last line after ${timeout} s" ;;
exited) fail "Bochs ended before the kernel's last line" ;;
esac
guest_lines | grep -q '^crc_kernel: done, 0 failures$' || fail "the kernel reports failures"
guest_lines | grep -q "^chosen: $expected\$" || fail "the library did not choose $expected"
echo "run_bochs: pass ($model chose $expected, ${elapsed} s)"
