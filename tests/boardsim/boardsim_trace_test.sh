#!/bin/sh
# End-to-end cases of boardsim's --trace with the real programs, one case per call:
#   boardsim_trace_test.sh CASE BOARDSIM LUMEND SENSORFLASH COPROCFLASH [ARM_LUMEND ARM_SENSORFLASH ARM_COPROCFLASH]
# The programs run by name from PATH, so a trace's header is the same for every build.
set -u
name=$1 boardsim=$2
golden=$(cd "$(dirname "$0")/golden" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir tmp host arm
export TMPDIR="$work/tmp"
ln -s "$3" host/lumend && ln -s "$4" host/sensorflash && ln -s "$5" host/coprocflash
if [ $# -ge 8 ]; then ln -s "$6" arm/lumend && ln -s "$7" arm/sensorflash && ln -s "$8" arm/coprocflash; fi
PATH="$work/host:$PATH"

fail() {
    printf 'FAIL %s: %s\n--- stderr\n' "$name" "$*"
    cat err
    exit 1
}
run() {
    timeout 60 "$boardsim" "$@" >out 2>err
    status=$?
}
expect_status() { [ "$status" -eq "$1" ] || fail "status $status, not $1"; }
# The trace's lines without pid and descriptor (an open's result is its descriptor).
masked() { awk 'NR > 1 { $2 = "PID"; $5 = "FD"; if ($6 == "open" && $8 ~ /^[0-9]+$/) $8 = "FD" } { print }' "$1"; }
# Line $2 of the masked trace $1 holds exactly the text $3.
has_line() { masked "$1" | grep -qxF -- "$2" || fail "$1 lacks the line: $2"; }

head -c 71680 /dev/urandom >mcu.bin
head -c $((4 * 129)) /dev/zero | tr '\0' '\132' >touch.bin

case $name in
mcu)
    run mcu --fast --new-version 2.0.13 --trace t -- coprocflash mcu.bin 2.0.13
    expect_status 0
    [ "$(head -1 t)" = "boardsim-trace 1 mcu coprocflash mcu.bin 2.0.13" ] || fail "header: $(head -1 t)"
    has_line t "0.000000 PID coprocflash /dev/ttyS1 FD open O_RDWR FD -"
    has_line t "0.000000 PID coprocflash /dev/ttyS1 FD tcsetattr 115200,8,E,1,raw 0 -"
    has_line t "0.000000 PID coprocflash /dev/ttyS1 FD tcflush TCIFLUSH 0 -"
    # The shell children of the GPIO steps: "echo 119 > export" opens, dup2s onto 1, writes.
    has_line t "0.000000 PID sh /sys/class/gpio/export FD open O_WRONLY|O_CREAT|O_TRUNC FD -"
    grep -q '^0\.000000 [0-9]* sh /sys/class/gpio/export 1 write 4 4 3131390a$' t || fail "no write of 119 on fd 1"
    has_line t "2.000000 PID coprocflash /dev/ttyS1 FD write 1 1 7f"
    has_line t "2.000000 PID coprocflash /dev/ttyS1 FD read 1 1 79"
    # Every image byte went out once in a Write Memory block of 256 data bytes.
    [ "$(grep -c ' /dev/ttyS1 [0-9]* write 256 256 ' t)" -eq 280 ] || fail "not 280 blocks of 256 bytes"
    masked t | grep -q ' PID coprocflash /dev/ttyS1 FD close - 0 -$' || fail "the line is not closed"
    # A program that the shell started with its output on a GPIO file: found across the exec.
    echo 13 >thirteen
    run mcu --fast --trace t -- sh -c 'dd if=thirteen status=none >/sys/class/gpio/export'
    expect_status 0
    grep -q '^0\.000000 [0-9]* dd /sys/class/gpio/export 1 write 3 3 31330a$' t || fail "no write by dd on fd 1"
    # A shell keeps a GPIO file as its output: a redirection saves it (F_DUPFD_CLOEXEC) and
    # puts it back after the command (dup2), and the next write still goes to the file.
    run mcu --fast --trace t -- sh -c 'exec >/sys/class/gpio/export; echo 13 >/dev/null; echo 117'
    expect_status 0
    grep -q '^0\.000000 [0-9]* sh /sys/class/gpio/export 1 write 4 4 3131370a$' t || fail "no write of 117 after the restore"
    # A copy made with F_DUPFD_CLOEXEC (Python's os.dup) is the same device.
    run mcu --fast --trace t -- python3 -c 'import os; f = os.open("/sys/class/gpio/export", os.O_WRONLY)
g = os.dup(f); os.close(f); os.write(g, b"13\n")'
    expect_status 0
    grep -q ' python3 /sys/class/gpio/export [0-9]* write 3 3 31330a$' t || fail "no write through the copy"
    ;;
mcu_silent)
    # A silent bootloader: each sync byte's answer times out in the one-second waits.
    run mcu --fast --silent-bootloader 3 --trace t -- coprocflash mcu.bin 2.0.13
    expect_status 255
    masked t | grep -m 2 -A 1 ' write 1 1 7f' >waits
    [ "$(cat waits)" = "2.000000 PID coprocflash /dev/ttyS1 FD write 1 1 7f
3.000000 PID coprocflash /dev/ttyS1 FD wait select:1000 timeout -
--
6.000000 PID coprocflash /dev/ttyS1 FD write 1 1 7f
7.000000 PID coprocflash /dev/ttyS1 FD wait select:1000 timeout -" ] || fail "waits: $(cat waits)"
    ;;
touch)
    # On the real clock: the times are the wall's, the calls the same.
    run touch --version 11 --trace t -- sensorflash touch.bin 1.0.12
    expect_status 0
    [ "$(head -1 t)" = "boardsim-trace 1 touch sensorflash touch.bin 1.0.12" ] || fail "header: $(head -1 t)"
    masked t | cut -d' ' -f2- | sed -n 2,7p >calls
    [ "$(cat calls)" = "PID sensorflash /dev/morlan_touch FD open O_RDWR FD -
PID sensorflash /dev/morlan_touch FD ioctl 0x40046ba0:0x00000000 0 -
PID sensorflash /dev/morlan_touch FD ioctl 0x40046ba1:0x00000001 0 -
PID sensorflash /dev/morlan_touch FD ioctl 0x40046ba3:0x00000000 0 -
PID sensorflash /dev/morlan_touch FD read 5 5 000000000b
PID sensorflash /dev/morlan_touch FD write 4 4 00095a00" ] || fail "calls: $(cat calls)"
    awk 'NR > 1 && ($1 + 0 < t || $1 > 10) { exit 1 } { t = $1 + 0 }' t || fail "times not in order on the board's clock"
    ;;
leds)
    # A refused register write shows its errno; the pipe's opens and the byte it brought.
    run leds --fast --fail-writes 3-3 --send 2 --every 1 --trace t -- lumend
    expect_status 0
    has_line t "0.000000 PID lumend /dev/aw9110_1_dev FD write 2 EIO 1300"
    has_line t "0.000000 PID lumend /dev/aw9110_1_dev FD ioctl 0x6b80:- 0 -"
    has_line t "0.000000 PID lumend /data/led_pipe FD open O_WRONLY|O_NONBLOCK FD -"
    has_line t "1.000000 PID lumend /data/led_pipe FD read 1 1 02"
    has_line t "2.000000 PID lumend /data/led_pipe FD read 1 1 ff"
    # A chip the board lacks: the driver's refused open is traffic too.
    run leds --fast --chip-missing 2 --trace t -- lumend 0
    has_line t "0.000000 PID lumend /dev/aw9110_2_dev FD open O_RDWR ENOENT -"
    ;;
bad_file)
    # A FILE that cannot be written: one line, status 2, nothing runs.
    run leds --trace nowhere/t -- touch ran
    expect_status 2
    [ "$(cat err)" = "boardsim: --trace nowhere/t: cannot write nowhere/t: No such file or directory" ] || fail "said: $(cat err)"
    mkdir folder
    run leds --trace folder -- touch ran
    expect_status 2
    [ "$(cat err)" = "boardsim: --trace folder: cannot write folder: Is a directory" ] || fail "said: $(cat err)"
    [ ! -e ran ] && [ ! -e nowhere ] || fail "COMMAND ran"
    # An interrupted COMMAND still leaves its trace.
    run mcu --silent-bootloader 3 --timeout 4 --trace t -- coprocflash mcu.bin 2.0.13
    expect_status 124
    grep -q ' wait select:1000 timeout -$' t || fail "no trace after --timeout"
    ;;
arm_same)
    # The ARM programs under qemu-arm make the same calls as the host's, byte for byte.
    cat >update.sh <<'SCRIPT'
sensorflash touch.bin 1.0.12
coprocflash mcu.bin 2.0.13
lumend
SCRIPT
    for build in host arm; do
        PATH="$work/$build:$PATH" run board --fast --touch-version 11 --mcu-new-version 2.0.13 --silent-bootloader 1 \
            --leds-fail-writes 5-6 --send 1,0 --trace $build.t -- sh update.sh
        expect_status 0
        # Calls of two threads (the daemon's pipe reader and its pattern thread) at one board time
        # come in either order: each device's calls keep theirs.
        masked $build.t | sort -s -k1,1n -k3,4 >$build.masked
    done
    cmp -s host.masked arm.masked || fail "the ARM trace differs: $(diff host.masked arm.masked | head -20)"
    grep -q ' wait select:1000 ' host.t && grep -q ' ioctl ' host.t && grep -q ' EIO ' host.t || fail "a part is missing"
    ;;
golden_mcu | golden_touch | golden_leds)
    # Each program's main scenario against its kept trace: any change of the wire traffic (a
    # byte, a call, an open flag, the order) fails with the first difference decoded. Run with
    # GOLDEN_ACCEPT=1 to take a change that was meant as the new golden trace.
    cp "$golden/mcu.bin" "$golden/touch.bin" .
    case $name in
    golden_mcu) run mcu --fast --new-version 2.0.13 --trace t -- coprocflash mcu.bin 2.0.13 ;;
    golden_touch) run touch --fast --version 11 --new-version 12 --trace t -- sensorflash touch.bin 1.0.12 ;;
    golden_leds) run leds --fast --send 1,3,0 --every 1.5 --trace t -- lumend 2 ;;
    esac
    expect_status 0
    kept="$golden/${name#golden_}.trace"
    if [ "${GOLDEN_ACCEPT:-0}" = 1 ]; then cp t "$kept"; exit 0; fi
    "$boardsim" compare "$kept" t >compared 2>&1 || fail "the trace differs from $kept:
$(head -30 compared)"
    ;;
*)
    fail "no such case"
    ;;
esac
exit 0
