#!/bin/sh
# End-to-end cases of boardsim with the real programs, one case per call:
#   boardsim_test.sh CASE BOARDSIM LUMEND SENSORFLASH COPROCFLASH
set -u
name=$1 boardsim=$2 lumend=$3 sensorflash=$4 coprocflash=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

fail() {
    printf 'FAIL %s: %s\n--- stdout\n' "$name" "$*"
    cat out
    printf -- '--- stderr\n'
    cat err
    exit 1
}
# A case that goes wrong ends within the minute: boardsim hands the TERM on to COMMAND.
run() {
    timeout 60 "$boardsim" "$@" >out 2>err
    status=$?
}
expect_status() { [ "$status" -eq "$1" ] || fail "status $status, not $1"; }
has() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }

case $name in
bad_option)
    run leds --fail-writes 5-2 -- touch ran
    expect_status 2
    [ "$(wc -l <err)" -eq 1 ] || fail "not one line"
    has err "--fail-writes takes"
    [ ! -e ran ] || fail "COMMAND ran"
    ;;
leds_chip_missing)
    run leds --chip-missing 2 -- "$lumend"
    expect_status 1
    has err "/dev/aw9110_2_dev: absent"
    ;;
leds_script)
    # A script that starts the daemon, makes and writes its pipe itself, and ends with 5.
    cat >script.sh <<SCRIPT
mkfifo /data/led_pipe
"$lumend" &
printf '\001\377' >/data/led_pipe
wait \$!
echo "lumend ended with \$?"
[ -e /dev/kmsg ] && echo "the machine's /dev/kmsg is visible"
exit 5
SCRIPT
    run leds --report rep -- sh script.sh
    expect_status 5
    has out "kavo : touch led recieve command : 1"
    has out "lumend ended with 0"
    has rep/report.txt "read from /data/led_pipe: 1 at"
    has rep/leds-timeline.svg ">255</text>"
    if ! grep -q "no private mount namespace" err; then
        ! grep -q "/dev/kmsg is visible" out || fail "real devices visible"
    fi
    ;;
touch_bad_row)
    head -c 387 /dev/zero >touch.bin  # three packets: rows 0, 1 and the last
    run touch --bad-row-checksum 1 -- "$sensorflash" touch.bin 1.0.12
    expect_status 251
    has out "TOUCH UPDATE FAIL:ret=-5"
    has err "rows programmed: 0-1 (2 program row commands)"
    has err "rows left damaged (their checksum reads back wrong): 1"
    ;;
mcu_nack_erase)
    # Five refusals fail the first cell of the first pass; the second pass goes through.
    head -c 1000 /dev/urandom >mcu.bin
    run mcu --nack-erase 5 --new-version 2.0.13 -- "$coprocflash" mcu.bin 2.0.13
    expect_status 0
    has out "mcu erase all memory fail"
    has err "bootloader entries: 2"
    has err "    0x08000000 #......."
    has err "afterwards the application answers the version query: 2.0.13"
    ;;
board_two_runs)
    # An install step run twice on one board with --state: the first run updates the touch
    # controller and the MCU and starts the daemon; the second, after the "reboot", skips both.
    head -c 387 /dev/urandom >touch.bin
    head -c 3000 /dev/urandom >mcu.bin
    cat >install.sh <<SCRIPT
"$sensorflash" touch.bin 1.0.12; echo "sensorflash ended with \$?"
"$coprocflash" mcu.bin 2.0.13 | grep -e "already new" -e "end"; echo "coprocflash done"
mkfifo /data/led_pipe
"$lumend" &
printf '\001\377' >/data/led_pipe
wait \$!; echo "lumend ended with \$?"
SCRIPT
    opts="--state s.json --fast --touch-new-version 12 --mcu-new-version 2.0.13 --touch-image touch.bin --mcu-image mcu.bin"
    run board $opts --report r1 -- sh install.sh
    expect_status 0
    has out "TOUCH PROGRAM UPDATE SUCCESSFULLY"
    has out "lumend ended with 0"
    ! grep -q "already new" out || fail "first run skipped the MCU update"
    # Sections in the order the script used the parts.
    [ "$(grep '^boardsim ' r1/report.txt | cut -d' ' -f2)" = "touch:
mcu:
leds:" ] || fail "sections not in the order of use"
    has r1/report.txt "firmware version byte 0 at the start, 12 at the end"
    has r1/report.txt "the flash holds touch.bin byte for byte (3 rows)"
    has r1/report.txt "the flash holds mcu.bin byte for byte (3000 bytes from 0x08000000)"
    run board $opts --report r2 -- sh install.sh
    expect_status 0
    has out "ver=12, new_ver=12"
    has out "mcu already new version!"
    has r2/report.txt "bootloader entry requests: 0"
    has r2/report.txt "bootloader entries: 0"
    has r2/report.txt "the flash holds mcu.bin byte for byte"
    # A file that is not a board state: one line, status 2, nothing runs, the file stays.
    echo '{"format": "other"}' >other.json
    run board --state other.json -- touch ran
    expect_status 2
    [ "$(wc -l <err)" -eq 1 ] || fail "not one line"
    has err "boardsim: --state other.json: not a boardsim board state"
    [ ! -e ran ] && [ "$(cat other.json)" = '{"format": "other"}' ] || fail "ran, or the file was touched"
    ;;
board_fast)
    # The programs' output and status are the same on the fast clock as on the real one.
    head -c 387 /dev/urandom >touch.bin
    head -c 3000 /dev/urandom >mcu.bin
    cat >update.sh <<SCRIPT
"$sensorflash" touch.bin 1.0.12; echo "sensorflash ended with \$?"
"$coprocflash" mcu.bin 2.0.13; echo "coprocflash ended with \$?"
exit 3
SCRIPT
    run board --mcu-new-version 2.0.13 --nack-erase 5 -- sh update.sh
    expect_status 3
    mv out real.out
    run board --fast --mcu-new-version 2.0.13 --nack-erase 5 --report fast -- sh update.sh
    expect_status 3
    cmp -s real.out out || fail "output differs from the real clock's: $(diff real.out out)"
    has fast/report.json '"clock_factor": 10'
    ;;
*)
    fail "no such case"
    ;;
esac
echo "ok $name"
