#!/bin/sh
# The real coprocflash on the MCU desk (mcu_desk: the MCU model behind a pty bound at
# "/dev/ttyS1" and the sysfs GPIO model, in a private mount namespace, on the real clock, no
# preload), captured with strace; the capture decoded, compared with boardsim's own trace of the
# same update, and replayed. Usage: mcu_desk_test.sh CASE BOARDSIM MCU_DESK COPROCFLASH.
# Exit 77 (skipped) without root, without private mount namespaces, or without strace.
set -eu
case=$1 boardsim=$2 desk=$3 flasher=$4
here=$(dirname "$0")
[ "$(id -u)" -eq 0 ] || { echo "skip: needs root for a private mount namespace"; exit 77; }
command -v strace >/dev/null || { echo "skip: no strace (package strace)"; exit 77; }
unshare -m true 2>/dev/null || { echo "skip: no private mount namespace here"; exit 77; }

work=$(mktemp -d)
root=$work/root out=$work/out
trap 'rm -rf "$work"' EXIT
mkdir -p "$root" "$out"
# Three Write Memory blocks; the other image differs in the second one (byte 44 of it).
yes 'firmware block ' | head -c 700 >"$out/img.bin"
{ head -c 300 "$out/img.bin"; printf X; tail -c +302 "$out/img.bin"; } >"$out/other.bin"
# The short trace set (pselect6: glibc's select() on this machine), and the fuller one.
short=open,openat,close,read,write,ioctl,select,_newselect,pselect6
full=$short,poll,dup,dup2,dup3,fcntl,fcntl64,clone,fork,vfork,execve
fail() { echo "FAIL: $case: $*"; exit 1; }

# coprocflash IMG 2.0.13 on the desk under strace -o CAP, its output into CAP.out. LeakSanitizer
# cannot run under ptrace: the debug build's leak check is off for the captured run only.
capture() {  # SET CAP
    set +e
    ASAN_OPTIONS=detect_leaks=0 unshare -m --propagation private sh "$here/private_root.sh" "$root" \
        "$(dirname "$flasher")" "$out" -- "$desk" "$root" -- chroot "$root" \
        strace -f -tt -xx -s 65535 -e trace="$1" -o "$out/$2" "$flasher" "$out/img.bin" 2.0.13 >"$out/$2.out"
    status=$?
    set -e
    [ "$status" -eq 0 ] || { tail -5 "$out/$2.out"; fail "the captured run ended with $status"; }
}

# boardsim's own trace of the same update; the capture must compare equal with it.
compare() {  # CAP
    "$boardsim" mcu --fast --trace "$out/board.trace" -- "$flasher" "$out/img.bin" 2.0.13 >"$out/board.out" 2>/dev/null
    "$boardsim" compare "$out/board.trace" "$out/$1" >"$out/compare.txt" || { cat "$out/compare.txt"; fail "compare of $1"; }
    tail -1 "$out/compare.txt" | grep -qx 'the traces are the same' || fail "compare's last line"
}

case $case in
short_set)
    capture "$short" cap.txt
    # The AN3155 commands, the version frames and the lines by role, without their times.
    "$boardsim" decode "$out/cap.txt" | cut -d' ' -f2- >"$out/decoded"
    for line in '/dev/ttyS1 line 115200,8,E,1,raw' \
                '/dev/ttyS1 -> version query (code 0x06, body 4d)' \
                '/dev/ttyS1 <- version reply (code 0x06, 7 body bytes): "1.0.0"' \
                '/sys/class/gpio/export -> export boot select (gpio119)' \
                '/sys/class/gpio/gpio119/direction -> boot select (gpio119) direction high: output, high' \
                '/sys/class/gpio/gpio117/direction -> reset (gpio117) direction high: output, high' \
                '/dev/ttyS1 -> sync 0x7f' \
                '/dev/ttyS1 -> Extended Erase pages 16-31 (checksum 0x0f)' \
                '/dev/ttyS1 -> Write Memory address 0x08000100 (checksum 0x09)'; do
        grep -qxF "$line" "$out/decoded" || fail "decode has no line: $line"
    done
    grep -q '^/dev/ttyS1 -> Write Memory at 0x08000200, 188 bytes: ' "$out/decoded" || fail "decode: the last block"
    # The sync's, two for each of the eight erases, three for each of the three blocks.
    [ "$(grep -c '^/dev/ttyS1 <- ACK 0x79$' "$out/decoded")" -eq 26 ] || fail "decode: ACK count"
    compare cap.txt
    # The replay prints what the captured run printed and ends with 0. But for one line: the
    # desk's pty keeps no parity, and this machine's glibc reads the settings back, so its
    # tcsetattr() failed there where a UART (and the bed) takes even parity.
    "$boardsim" mcu --fast --replay "$out/cap.txt" -- "$flasher" "$out/img.bin" 2.0.13 >"$out/replay.out" 2>/dev/null ||
        fail "the replay ended with $?"
    cmp "$out/replay.out" "$out/board.out" || fail "the replay's output is not the recorded run's"
    grep -vxF '[UART - serial_set_parity]: setup serial error' "$out/cap.txt.out" | diff -u - "$out/replay.out" ||
        fail "the replay's output is not the captured run's"
    # The other image: the replay stops at the second block, and coprocflash ends as with a
    # bootloader that never answers.
    set +e
    "$boardsim" mcu --fast --replay "$out/cap.txt" --report "$out/r" -- "$flasher" "$out/other.bin" 2.0.13 >"$out/other.out" 2>/dev/null
    other=$?
    "$boardsim" mcu --fast --silent-bootloader 3 -- "$flasher" "$out/img.bin" 2.0.13 >"$out/silent.out" 2>/dev/null
    silent=$?
    set -e
    [ "$other" -eq "$silent" ] && [ "$other" -ne 0 ] || fail "status $other, a silent MCU's $silent"
    [ "$(tail -2 "$out/other.out")" = "$(tail -2 "$out/silent.out")" ] || fail "last lines: $(tail -2 "$out/other.out")"
    grep -qF 'the replay ended at the first difference: Write Memory at 0x08000100, 256 bytes: byte 44 is 0x58, recorded 0x63' \
        "$out/r/report.txt" || fail "the replay's difference line"
    ;;
full_set)
    # The fuller set follows the shells' descriptors (dup2 onto 1) and names the programs.
    capture "$full" full.txt
    grep -q 'execve(' "$out/full.txt" || fail "no execve in the capture"
    compare full.txt
    ;;
*) echo "unknown case $case"; exit 2 ;;
esac
echo "ok: $case"
