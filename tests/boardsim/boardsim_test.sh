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
mkdir tmp
export TMPDIR="$work/tmp"  # where the bed's and umockdev's folders go, and must not stay

# A case that goes wrong ends within the minute: boardsim hands the TERM on to COMMAND.
run() {
    timeout 60 "$boardsim" "$@" >out 2>err
    status=$?
}
# As run, in the background; finish waits for its end.
start() {
    timeout -k 2 20 "$boardsim" "$@" >out 2>err &
    runner=$!
}
finish() {
    wait $runner
    status=$?
}
expect_status() {
    [ "$status" -eq "$1" ] || fail "status $status, not $1"
    [ -z "$(ls tmp)" ] || fail "left behind: $(ls tmp)"
}
has() { grep -qF -- "$2" "$1" || fail "$1 lacks: $2"; }
# Polls (at most 10 s) until the shell test $* holds.
await() {
    tries=0
    until eval "$*"; do
        tries=$((tries + 1))
        [ $tries -le 200 ] || fail "never: $*"
        sleep 0.05
    done
}
# Records BOARD's run of COMMAND into TRACE (with the options RECORDED and BOTH), then replays
# it (with BOTH): the replay gives the recorded run's standard output and error, and status 0.
# Usage: replayed BOARD TRACE "RECORDED" "BOTH" COMMAND...; the replay's report is in r/.
replayed() {
    board=$1 trace=$2 recorded_opts=$3 both_opts=$4
    shift 4
    run $board --fast $recorded_opts $both_opts --trace $trace --report rec -- "$@"
    expect_status 0
    mv out rec.out; grep -v "^boardsim: report in" err >rec.err
    run $board --fast $both_opts --replay $trace --report r -- "$@"
    expect_status 0
    cmp -s out rec.out || fail "stdout differs from the recorded run's"
    grep -v "^boardsim: report in" err | cmp -s - rec.err || fail "stderr differs from the recorded run's"
}
# Until process $1 waits in the open of a FIFO for its other end.
await_fifo_open() { await "grep -q wait_for_partner /proc/$1/wchan 2>/dev/null"; }

case $name in
bad_option)
    run leds --fail-writes 5-2 -- touch ran
    expect_status 2
    [ "$(wc -l <err)" -eq 1 ] || fail "not one line"
    has err "--fail-writes takes"
    [ ! -e ran ] || fail "COMMAND ran"
    run touch --rows 10-200 --bad-row-checksum 500 -- touch ran
    expect_status 2
    has err "boardsim touch: --bad-row-checksum 500 lies outside the flash rows 10-200"
    run touch --version 0x10 --version 256 -- touch ran
    expect_status 2
    [ "$(cat err)" = "boardsim touch: --version given twice" ] || fail "not the one line on the repeat"
    run mcu coprocflash x.bin
    expect_status 2
    has err 'COMMAND goes after "--"'
    [ ! -e ran ] || fail "COMMAND ran"
    # Shell rules: a script without "#!" runs with sh; --report makes the folders it needs.
    printf 'echo "ran as $0"; exit 4\n' >plain
    chmod +x plain
    run touch --report a/b/c -- ./plain
    expect_status 4
    has out "ran as ./plain"
    has a/b/c/report.txt "log lines the programs wrote: none"
    ;;
ending)
    # An INT reaches a shell blocked in the open of a FIFO under /data, a TERM a daemon blocked in
    # its first open of the pipe; both end at once, as they would on the board.
    start leds -- sh -c 'echo $$ >pid; mkfifo /data/p; printf x >/data/p'
    await '[ -s pid ]'
    await_fifo_open "$(cat pid)"
    kill -INT "$(pgrep -P $runner)"
    finish
    expect_status 130
    rm pid
    start leds -- "$lumend"
    await 'pgrep -P "$(pgrep -P $runner)" >pid'
    await_fifo_open "$(cat pid)"
    kill -TERM "$(pgrep -P $runner)"
    finish
    expect_status 143
    # A TERM reaches a process that left COMMAND's session, and the board's end ends it and
    # every other leftover.
    cat >daemons.sh <<'SCRIPT'
setsid sh -c 'trap "echo TERM >got; exit" TERM; echo $$ >pid; while :; do sleep 0.1; done' &
daemon=$!
trap 'wait $daemon; exit 7' TERM
setsid sh -c 'trap "" TERM; echo $$ >sleeper; exec sleep 78' &
wait $daemon
SCRIPT
    rm -f pid
    start leds -- sh daemons.sh
    await '[ -s pid ] && [ -s sleeper ]'
    kill -TERM "$(pgrep -P $runner)"
    finish
    expect_status 7
    has got TERM
    has err "boardsim: COMMAND left 1 process running; ended with the board"
    ! kill -0 "$(cat sleeper)" 2>/dev/null || fail "sleep 78 outlived the board"
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
mknod /dev/kmsg2 c 1 11 2>/dev/null && env -u LD_PRELOAD head -c0 /dev/kmsg2 2>/dev/null && echo "a new node works"
mkdir mnt && mount -t devtmpfs none mnt 2>/dev/null && echo "devtmpfs mounted"
exit 5
SCRIPT
    run leds --report rep -- sh script.sh
    expect_status 5
    has out "kavo : touch led recieve command : 1"
    has out "lumend ended with 0"
    has rep/report.txt "read from /data/led_pipe: 1 at"
    has rep/leds-timeline.svg ">255</text>"
    if ! grep -q "no private mount namespace" err; then
        ! grep -q "/dev/kmsg is visible\|a new node works\|devtmpfs mounted" out || fail "real devices reachable"
    fi
    ;;
mcu_line_settings)
    # Settings other than the updater's show as they were made.
    run mcu -- stty -F /dev/ttyS1 9600 cs7 parenb parodd cstopb
    expect_status 0
    has err "line: 9600 baud, 7 data bits, odd parity, 2 stop bits, raw"
    ;;
mcu_interrupted)
    # Ctrl-C in the middle of a paced erase (the MCU still busy): coprocflash releases the lines
    # and ends with 1.
    head -c 1000 /dev/urandom >mcu.bin
    start mcu --paced -- "$coprocflash" mcu.bin
    await 'grep -q "erased mcu the \\[0\\] cell" out'
    kill -INT "$(pgrep -P $runner)"
    finish
    expect_status 1
    ;;
mcu_lines_state_bounds)
    # A script reads the lines back as sysfs gives them: an output reads its level, an input
    # reads low (the board's pull-down), a refused write changes nothing. The model takes each
    # write in as its writer closes the file, in order: a write to gpio13 that shows marks that
    # every write before it has been taken in.
    cat >lines.sh <<'SCRIPT'
g=/sys/class/gpio
settle() {
    for level in 1 0; do
        [ $level = 1 ] && echo high >$g/gpio13/direction || echo low >$g/gpio13/direction
        i=0
        until [ "$(cat $g/gpio13/value)" = $level ]; do
            i=$((i + 1)); [ $i -lt 500 ] || { echo "gpio13 never reads $level"; exit 1; }; sleep 0.01
        done
    done
}
check() { settle; [ "$(cat $g/gpio$1/$2)" = "$3" ] || { echo "gpio$1/$2 reads $(cat $g/gpio$1/$2), not $3"; exit 1; }; }
check 117 direction in; check 117 value 0
echo 117 >$g/export
echo high >$g/gpio117/direction; check 117 direction out; check 117 value 1
echo 0 >$g/gpio117/value; check 117 value 0
echo 0x1 >$g/gpio117/value; check 117 value 1
echo ' 0' >$g/gpio117/value; check 117 value 1
echo in >$g/gpio117/direction; check 117 direction in; check 117 value 0
echo 1 >$g/gpio117/value; check 117 value 0
echo out >$g/gpio117/direction; check 117 direction out; check 117 value 0
echo bogus >$g/gpio117/direction; check 117 direction out
echo high >$g/gpio119/direction; echo 117 >$g/unexport; check 119 value 1
echo "lines read back as set"
SCRIPT
    run mcu --report r -- sh lines.sh
    expect_status 0
    has out "lines read back as set"
    # An open of the serial line alone makes the MCU used; a COMMAND that touches nothing not.
    run mcu --report r -- sh -c 'exec 3</dev/ttyS1'
    expect_status 0
    has r/report.json '"used": true'
    run mcu --report r -- true
    has r/report.json '"used": false'
    # A saved MCU version is held to --app-version's rule: one line, status 2, nothing runs.
    run mcu --state s.json -- true
    expect_status 0
    sed 's/"version": *"1\.0\.0"/"version": "x.y"/' s.json >bad.json
    ! cmp -s s.json bad.json || fail "no version in the saved state"
    run mcu --state bad.json -- touch ran
    expect_status 2
    [ "$(wc -l <err)" -eq 1 ] && [ ! -e ran ] || fail "not one line, or COMMAND ran"
    has err 'boardsim: --state bad.json: the mcu state does not fit the board (version "x.y" is not three decimal numbers X.Y.Z)'
    # Options override the saved state: the saved 2.0.13 gives way to --app-version 2.0.9 (the
    # update goes ahead), and --new-version names what the new application reports.
    printf 'abcd%.0s' $(seq 250) >mcu.bin
    run mcu --fast --state s.json --new-version 2.0.13 -- "$coprocflash" mcu.bin 2.0.13
    expect_status 0
    run mcu --fast --state s.json --app-version 2.0.9 --new-version 3.0.1 -- "$coprocflash" mcu.bin 2.0.13
    expect_status 0
    has err "application 2.0.9 before the run, 1 page of flash in use (from the saved state)"
    has err "afterwards the application answers the version query: 3.0.1"
    run mcu --fast --state s.json -- "$coprocflash" mcu.bin 3.0.1
    expect_status 255
    has out "mcu already new version!"
    # Four refusals of a page list are absorbed by the erase's five attempts (five fail the pass).
    run mcu --fast --nack-erase 4 -- "$coprocflash" mcu.bin
    expect_status 0
    has err "bootloader entries: 1 (silent in 0)"
    has err "took effect: --nack-erase 4: 4 times"
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
    [ "$(grep -E '^boardsim (leds|touch|mcu):' r1/report.txt | cut -d' ' -f2)" = "touch:
mcu:
leds:" ] || fail "sections not in the order of use"
    has r1/report.txt "firmware version byte 0 at the start, 12 at the end"
    has r1/report.txt "the flash holds touch.bin byte for byte (3 rows)"
    has r1/report.txt "the flash holds mcu.bin byte for byte (3000 bytes from 0x08000000)"
    # The picture: both chips, the daemon's start and end, and the commands 1 and 255, which
    # arrived together, labelled one under the other.
    has r1/leds-timeline.svg ">/dev/aw9110_2_dev</text>"
    has r1/leds-timeline.svg ">daemon ends</text>"
    label_y() { sed -n "s/.*<text x=\"[0-9.]*\" y=\"\([0-9]*\)\" fill=\"#e02020\">$1<.*/\1/p" r1/leds-timeline.svg; }
    [ -n "$(label_y 1)" ] && [ -n "$(label_y 255)" ] && [ "$(label_y 1)" != "$(label_y 255)" ] ||
        fail "the labels of 1 and 255 overprint"
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
    mkdir folder.json
    run board --state folder.json -- touch ran
    expect_status 2
    has err "boardsim: --state folder.json: cannot be read: Is a directory"
    ;;
state_checks)
    # What boardsim cannot write as the user who runs it (as root: nobody, in files of its own):
    # one line, status 2, COMMAND does not run, and the files stay as they are.
    as_user=
    [ "$(id -u)" -ne 0 ] || as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
    chmod 777 . tmp
    $as_user sh -c 'mkdir ro rorep rep rotmp && echo x >rep/report.json && chmod 555 ro rorep rotmp && chmod 444 rep/report.json'
    $as_user "$boardsim" touch --state s.json -- true 2>/dev/null || fail "no state saved"
    chmod 444 s.json
    cp s.json saved.json
    # refused MESSAGE ARGS...: that one line, status 2, and COMMAND did not run.
    refused() {
        message=$1
        shift
        timeout 60 $as_user "$boardsim" "$@" -- touch ran >out 2>err
        status=$?
        expect_status 2
        [ ! -e ran ] && [ "$(cat err)" = "$message" ] || fail "not refused as \"$message\": $*"
    }
    refused "boardsim: --state missing/s.json: cannot be saved (no file can be made beside it: No such file or directory)" \
        touch --state missing/s.json
    refused "boardsim: --state ro/s.json: cannot be saved (no file can be made beside it: Permission denied)" touch --state ro/s.json
    refused "boardsim: --state s.json: cannot be saved (the file is read-only to you: Permission denied)" touch --state s.json
    cmp -s s.json saved.json || fail "the read-only state was changed"
    refused "boardsim: --report rorep: cannot write into it: Permission denied" touch --report rorep
    refused "boardsim: --report rep: cannot write rep/report.json: Permission denied" touch --report rep
    [ "$(cat rep/report.json)" = x ] && [ ! -e rep/report.txt ] || fail "the read-only report was written"
    echo '{"format": "boardsim-board-state", "version": 1, "gpu": {}}' >other.json
    refused 'boardsim: --state other.json: holds "gpu", which is no part of the board; it is left as it is' touch --state other.json
    echo '{"format": "boardsim-board-state", "version": 1, "touch": {"version": "x"}}' >bad.json
    refused 'boardsim: --state bad.json: the touch state does not fit the board (version "x": a byte value 0-255 (or 0x00-0xFF)); it is left as it is' \
        board --state bad.json
    TMPDIR=$work/rotmp
    refused "boardsim: cannot make the board's working folders in $work/rotmp (\$TMPDIR): Permission denied" touch
    TMPDIR=$work/tmp
    # A folder made read-only during the run is not written either (in a user namespace too).
    $as_user "$boardsim" touch --report late -- chmod 555 late >out 2>err
    [ "$(tail -1 err)" = "boardsim: --report late: cannot write late/report.txt: Permission denied" ] && [ -z "$(ls late)" ] ||
        fail "a read-only folder written"
    # A rewritten state keeps its mode and owner; a new one is made as any file (umask 027: 0640).
    chmod 600 s.json
    $as_user "$boardsim" touch --state s.json -- true 2>/dev/null || fail "state not saved"
    [ "$(stat -c %a s.json)" = 600 ] && [ "$(stat -c %u s.json)" = "$(stat -c %u ro)" ] || fail "state now $(stat -c '%a %U' s.json)"
    (umask 027 && $as_user "$boardsim" touch --state new.json -- true 2>/dev/null) || fail "new state not saved"
    [ "$(stat -c %a new.json)" = 640 ] || fail "new state made $(stat -c %a new.json)"
    ;;
daemon_left)
    # The board's end kills daemons the script left running, in the middle of their first chip
    # requests: boardsim's standard error holds only boardsim's own lines, every time.
    for i in 1 2 3 4 5 6 7 8 9 10; do
        run board --fast --report r -- sh -c "for d in 1 2 3 4 5 6 7 8; do \"$lumend\" 3 & done; sleep 0.5"
        expect_status 0
        has err "processes running; ended with the board"
        has err "boardsim: the daemon's /data/led_pipe is $work/tmp/testbed-sandbox."
        [ "$(grep -vc '^boardsim: ' err)" -eq 0 ] || fail "run $i: lines not boardsim's"
    done
    # On the virtual clock a daemon left running sees the board's time stand still from
    # COMMAND's end: its pattern steps at 0, 1 and 2 s, and none after 2.5 s however long the
    # board takes to end it.
    run board --fast --report r -- sh -c "\"$lumend\" 3 & sleep 2.5"
    expect_status 0
    has r/report.txt "/dev/aw9110_1_dev: opened 1 time; 29 register write calls,"
    has r/report.json '"board_seconds": 2.5,'
    ;;
alive)
    # On a terminal only, a run that lasts ten seconds of wall time says which part is at work and
    # how far the board's clock is: on the virtual clock, the update's 2 s and the sleep's 14 once
    # everything but a wait for the outside world (a FIFO nobody writes yet) has passed.
    command -v script >/dev/null || { echo "skip: script(1) is not installed"; exit 77; }
    head -c 387 /dev/zero >touch.bin
    mkfifo go.tty go.pipe
    script -qec "\"$boardsim\" touch --fast --handover-ms 1500 --report r -- sh -c '\"$sensorflash\" touch.bin 1.0.12 >/dev/null; sleep 14; read x <go.tty'" /dev/null </dev/null >tty.out 2>&1 &
    on_tty=$!
    start touch --fast -- sh -c 'sleep 14; read x <go.pipe'
    tries=0
    until grep -q "boardsim: " tty.out; do
        tries=$((tries + 1))
        [ $tries -le 300 ] || fail "no alive line within 15 s"
        sleep 0.05
    done
    echo >go.tty
    echo >go.pipe
    wait $on_tty || fail "the terminal's run failed"
    finish
    expect_status 0
    [ "$(tr -d '\r' <tty.out)" = "boardsim: 16 s, the touch controller's bootloader at work
boardsim: report in r/report.txt" ] || fail "not the alive line: $(cat tty.out)"
    ! grep -q "^boardsim: [0-9]* s, " err || fail "an alive line off the terminal"
    ;;
board_faults)
    # Shared option names take their part's name under board.
    run board --new-version 12 -- touch ran
    expect_status 2
    has err "unknown option --new-version"
    head -c 387 /dev/urandom >touch.bin
    # Faults reach the controller by their options...
    run board --fast --refuse-frames program-row -- "$sensorflash" touch.bin 1.0.12
    expect_status 254
    run board --fast --touch-answer-status program-row=10 -- "$sensorflash" touch.bin 1.0.12
    expect_status 250
    # ...and what they leave lasts: a controller left in its bootloader and a damaged row are
    # there at the next run, which reads version 0 and programs the controller again.
    run touch --fast --state t.json --handover-ms 1500 -- "$sensorflash" touch.bin 1.0.12
    expect_status 254
    has err "at the end the controller is restarting into its bootloader"
    run touch --fast --state t.json --bad-row-checksum 1 -- "$sensorflash" touch.bin 1.0.12
    expect_status 251
    has err "at the start the controller was in its bootloader"
    has out "ver=0, new_ver=12"
    run touch --fast --state t.json --new-version 12 -- "$sensorflash" touch.bin 1.0.12
    expect_status 0
    has err "rows damaged at the start (left so by an earlier run): 1"
    has err "rows left damaged (their checksum reads back wrong): none"
    has err "firmware version byte 0 at the start, 12 at the end"
    ;;
virtual_clock)
    # Time passes only while everything under the board sleeps: a sleep beside a computing shell
    # ends after it, however long the computing takes on the wall clock...
    run board --fast -- sh -c '(sleep 1; echo slept) & i=0; while [ $i -lt 300000 ]; do i=$((i + 1)); done; echo counted; wait'
    expect_status 0
    [ "$(cat out)" = "counted
slept" ] || fail "the sleep ended while the shell computed"
    # ...and then it jumps: every clock that the programs read moves by the wait, to the
    # nanosecond, at once.
    run board --fast -- sh -c 'date +%s%N; sleep 1000; date +%s%N; sleep 0.25; date +%s%N'
    expect_status 0
    { read a; read b; read c; } <out
    [ $((b - a)) -eq 1000000000000 ] && [ $((c - b)) -eq 250000000 ] || fail "the clock moved $((b - a)), $((c - b)) ns"
    # The paced line and flash take their time on the board's clock: a paced update lasts longer
    # there by at least the 3000 image bytes at 115200 baud (10 bits each: 0.26 s).
    head -c 3000 /dev/urandom >mcu.bin
    run mcu --fast --new-version 2.0.13 --report plain -- "$coprocflash" mcu.bin 2.0.13
    expect_status 0
    run mcu --fast --paced --new-version 2.0.13 --report paced -- "$coprocflash" mcu.bin 2.0.13
    expect_status 0
    seconds() { sed -n 's/^  "board_seconds": \([0-9.]*\),$/\1/p' "$1/report.json"; }
    awk -v p="$(seconds paced)" -v q="$(seconds plain)" 'BEGIN { exit !(p - q >= 0.26) }' ||
        fail "paced $(seconds paced) s, plain $(seconds plain) s"
    ;;
clock_deterministic)
    # One whole-board run with faults, ten times beside two CPU hogs: the same output, report and
    # LED timeline every time (the daemon's pid in its log line and the board's folder aside).
    head -c 387 /dev/urandom >touch.bin
    head -c 5000 /dev/urandom >mcu.bin
    cat >install.sh <<SCRIPT
"$sensorflash" touch.bin 1.0.12; echo "sensorflash ended with \$?"
"$coprocflash" mcu.bin 2.0.13; echo "coprocflash ended with \$?"
"$lumend" 2
SCRIPT
    hog() { while :; do :; done; }
    hog & hog1=$!
    hog & hog2=$!
    trap 'kill $hog1 $hog2; rm -rf "$work"' EXIT
    for i in 0 1 2 3 4 5 6 7 8 9; do
        run board --fast --silent-bootloader 1 --touch-late-answer verify-row=3 --send 1,3,0 --every 1.5 \
            --report r$i -- sh install.sh
        expect_status 0
        sed -i 's/Process([0-9]*)/Process(PID)/; /"wall_seconds"/d; s|r'$i'/|r/|; s/testbed-sandbox\.[^/]*/SANDBOX/g' \
            err r$i/report.txt r$i/report.json
        cat out err r$i/report.txt r$i/report.json r$i/leds-timeline.svg >run$i
        [ $i -eq 0 ] || cmp -s run0 run$i || fail "run $i differs: $(diff run0 run$i | head -20)"
    done
    has r0/report.txt "commands the daemon read from /data/led_pipe: 1 at 37.60 s, 3 at 39.10 s, 0 at 40.60 s, 255 at 42.10 s"
    ;;
board_fast)
    # The programs' output and status, and the report, are the same on the virtual clock as on
    # the real one; only the run's length on the wall clock differs.
    head -c 387 /dev/urandom >touch.bin
    head -c 3000 /dev/urandom >mcu.bin
    cat >update.sh <<SCRIPT
"$sensorflash" touch.bin 1.0.12; echo "sensorflash ended with \$?"
"$coprocflash" mcu.bin 2.0.13; echo "coprocflash ended with \$?"
exit 3
SCRIPT
    run board --mcu-new-version 2.0.13 --nack-erase 5 --report real -- sh update.sh
    expect_status 3
    mv out real.out
    run board --fast --mcu-new-version 2.0.13 --nack-erase 5 --report fast -- sh update.sh
    expect_status 3
    cmp -s real.out out || fail "output differs from the real clock's: $(diff real.out out)"
    sed 's|real/|fast/|' real/report.txt | cmp -s - fast/report.txt || fail "report differs: $(diff real/report.txt fast/report.txt)"
    facts() { grep -v '"clock"\|"board_seconds"\|"wall_seconds"' "$1"; }
    [ "$(facts real/report.json)" = "$(facts fast/report.json)" ] || fail "report.json differs"
    has fast/report.json '"clock": "virtual"'
    has real/report.json '"clock": "real"'
    # A COMMAND that runs too long is interrupted as by Ctrl-C, and boardsim ends with 124.
    run board --timeout 1 -- sh -c 'trap "echo interrupted; exit 3" INT; sleep 30 & wait'
    expect_status 124
    has out "interrupted"
    has err "boardsim: COMMAND ran longer than 1 s (--timeout): it is interrupted (SIGINT)"
    ;;
bed_logs)
    # Every log record of several programs in one run, whole and in order: the daemon's (a
    # kernel-log line and, with its writes failing, an Android-log line) and those of four
    # writers at once, of every priority and up to 6000 bytes long; then the daemon reads the
    # bytes of three writers at once, each once, in the order it printed them.
    cat >writer.py <<'PY'
import ctypes, os, sys
writers, records = "ABCD", 2000
def text(name, i):  # every 50th record long, up to 6000 bytes
    return "%s record %d " % (name, i) + "x" * (i * 37 % 6000 if i % 50 == 0 else i % 40)
if sys.argv[1] == "expected":  # the lines of the report
    for name in writers:
        for i in range(records):
            print("    kernel level %d: %s" % (i % 8, text(name, i)) if i % 7 == 6 else
                  "    android %s/%s: %s" % ("??VDIWEF"[2 + i % 6], name, text(name, i)))
    sys.exit()
log = ctypes.CDLL(None)  # the bed's preload comes first: its log calls take the records
name = sys.argv[1]
open("ready." + name, "w").close()
while not all(os.path.exists("ready." + w) for w in writers):  # all write at once
    pass
for i in range(records):
    if i % 7 == 6:
        log.klog_write(i % 8, b"%s", text(name, i).encode())
    else:
        log.__android_log_write(2 + i % 6, name.encode(), text(name, i).encode())
PY
    cat >logs.sh <<SCRIPT
mkfifo /data/led_pipe
"$lumend" 3 >lumend.out & daemon=\$!; echo \$daemon >pid
for w in A B C D; do python3 writer.py \$w & writers="\$writers \$!"; done; wait \$writers
for w in 1 2 3; do printf '\004\005\006\007\004\005\006\007' >/data/led_pipe & bytes="\$bytes \$!"; done
wait \$bytes
printf '\377' >/data/led_pipe; wait \$daemon; echo "lumend ended with \$?"
SCRIPT
    run board --fast --leds-fail-writes 1-40 --report rep -- sh logs.sh
    expect_status 0
    has out "lumend ended with 0"
    python3 writer.py expected >expected
    sed -n '/^boardsim logs:/,$p' rep/report.txt >logs
    echo '    android D/virtualMCU: aw9110_white_reg:err_cnt > 20, please check the device then restart the aw9110_lib' >daemon
    printf '    kernel level 6: <6>touch_test: Process(%s) open the pip in O_RDONLY mode.\n' "$(cat pid)" >>daemon
    [ "$(sed -n 3p logs)" = "  log lines the programs wrote: 8002" ] || fail "$(sed -n 3p logs)"
    for w in A B C D; do
        grep -e " $w record " logs | cmp -s - "$(grep -e " $w record " expected >e.$w; echo e.$w)" ||
            fail "writer $w's records differ: $(grep -e " $w record " logs | diff e.$w - | head -c 600)"
    done
    grep -v -e " [ABCD] record " logs | tail -n +4 | sort | cmp -s - daemon || fail "the daemon's records: $(cat logs | head -c 2000)"
    # The bytes the daemon took, as it printed them; each of the 24 once.
    sed -n 's/^kavo : touch led recieve command : //p' lumend.out | tr '\n' ' ' >printed
    [ "$(tr ' ' '\n' <printed | grep . | sort -n | uniq -c | tr -s ' ' | tr '\n' ';')" = " 6 4; 6 5; 6 6; 6 7; 1 255;" ] ||
        fail "the daemon printed: $(cat printed)"
    python3 -c 'import json, sys
leds = [p for p in json.load(open("rep/report.json"))["parts"] if p["part"] == "leds"][0]
print(" ".join(str(c["byte"]) for c in leds["commands"]), end=" ")' >recorded
    cmp -s printed recorded || fail "recorded: $(cat recorded), printed: $(cat printed)"
    ;;
bed_isolation)
    # Each step that keeps COMMAND away from the machine's devices, seen from COMMAND without
    # the preloads (as a static binary sees it): one line per step, compared whole.
    cat >iso.sh <<'SCRIPT'
ulimit -c 0
real() { env -u LD_PRELOAD "$@"; }
# The options of the topmost mount at $1 ("none" when there is none of its own).
options() { real awk -v at="$1" '$5 == at { o = $6 } END { print o ? o : "none" }' /proc/self/mountinfo; }
flag() { case ,$(options "$1"), in *,$2,*) echo "$2" ;; *) echo "not $2" ;; esac; }
echo "/dev: $(real ls -A /dev | tr '\n' ' ')"
echo "/dev is mounted $(flag /dev nodev)"
real mknod node c 1 11 2>/dev/null && echo "mknod made a device node" || echo "mknod refused"
echo "/sys: $(real ls -A /sys | tr '\n' ' ')(mounted $(flag /sys ro))"
echo "/proc/sys is mounted $(flag /proc/sys ro)"
real test -e /proc/sysrq-trigger && echo "/proc/sysrq-trigger is mounted $(flag /proc/sysrq-trigger ro)"
echo marker >/data/marker  # through the preload's rewrite
real test -d /data && echo "/data holds: $(real cat /data/marker)"
echo "bounding set: $(real awk '$1 == "CapBnd:" { print $2 }' /proc/self/status)"
mkdir mnt && real mount -t tmpfs none mnt 2>/dev/null && echo "mount worked" || echo "mount refused"
echo "ids: $(id -u) $(id -g)"
SCRIPT
    run leds -- sh iso.sh
    expect_status 0
    if grep -q "no private mount namespace" err; then echo "skip: no private mount namespace here"; exit 77; fi
    # The bounding set less CAP_MKNOD (27), CAP_SYS_ADMIN (21), CAP_SYS_BOOT (22), CAP_SYS_RAWIO
    # (17) and CAP_SYS_MODULE (16): root's own, or in a new user namespace every capability.
    if [ "$(id -u)" -eq 0 ]; then
        before=$((0x$(awk '$1 == "CapBnd:" { print $2 }' /proc/self/status)))
    else
        before=$(((1 << ($(cat /proc/sys/kernel/cap_last_cap) + 1)) - 1))
    fi
    bounding=$(printf '%016x' $((before & ~(1 << 27 | 1 << 21 | 1 << 22 | 1 << 17 | 1 << 16))))
    {
        echo "/dev: fd full null ptmx pts random shm stderr stdin stdout tty urandom zero "
        echo "/dev is mounted nodev"
        echo "mknod refused"
        echo "/sys: (mounted ro)"
        echo "/proc/sys is mounted ro"
        [ -e /proc/sysrq-trigger ] && echo "/proc/sysrq-trigger is mounted ro"
        [ -d /data ] && echo "/data holds: marker"
        echo "bounding set: $bounding"
        echo "mount refused"
        echo "ids: $(id -u) $(id -g)"
    } >expected
    cmp -s expected out || fail "$(diff expected out)"
    ;;
bed_signals)
    # Each signal boardsim passes on reaches every program of a script while it waits: the
    # daemon in the open of its pipe, sensorflash polling a touch controller that does not
    # answer, coprocflash waiting for a silent ROM bootloader, a setsid'd reader blocked in
    # the read of a FIFO, and a daemon that boardsim adopted. (env --default-signal: a script's
    # & jobs start with INT and QUIT ignored.) Each ends as on the board: coprocflash with 1
    # after an INT.
    head -c 387 /dev/urandom >touch.bin
    head -c 3000 /dev/urandom >mcu.bin
    cat >signals.sh <<SCRIPT
ulimit -c 0
trap '' INT TERM HUP QUIT
run() { env --default-signal "\$@" & }
run "$lumend" 3 >lumend.out; l=\$!
run "$coprocflash" mcu.bin 2.0.13 >cf.out; c=\$!
mkfifo /data/q
run setsid sh -c 'exec 3<>/data/q; exec cat <&3'; r=\$!
# A daemon: its parent gone, boardsim adopts it.
(run setsid sh -c 'trap "echo \$\$ >daemon.got; exit" INT TERM HUP QUIT; echo \$\$ >daemon; while :; do sleep 0.1; done')
until grep -qx '.UART - serial_write.: write ret = 1' cf.out; do sleep 0.05; done  # the first entry
run "$sensorflash" touch.bin 1.0.12 >sf.out; s=\$!
echo "\$l \$s \$c \$r" >pids
for p in lumend:\$l sensorflash:\$s coprocflash:\$c setsid:\$r; do wait \${p#*:}; echo "\${p%:*} \$?"; done
until [ -s daemon.got ]; do sleep 0.05; done; cmp -s daemon daemon.got && echo "daemon ended by its trap"
exit 3
SCRIPT
    for sig in INT TERM HUP QUIT; do
        rm -f pids cf.out sf.out daemon daemon.got
        start board --touch-no-answer enter --mcu-silent-bootloader 3 -- sh signals.sh
        await '[ -s pids ] && [ -s daemon ] && grep -q "start upgrade" sf.out'
        set -- $(cat pids)
        await_fifo_open "$1"
        await "grep -q pipe_read /proc/$4/wchan 2>/dev/null"
        kill -$sig "$(pgrep -P $runner)"
        finish
        expect_status 3
        code=$((128 + $(case $sig in INT) echo 2 ;; TERM) echo 15 ;; HUP) echo 1 ;; QUIT) echo 3 ;; esac)))
        printf 'lumend %s\nsensorflash %s\ncoprocflash %s\nsetsid %s\ndaemon ended by its trap\n' $code $code \
            "$([ $sig = INT ] && echo 1 || echo $code)" $code >expected
        cmp -s expected out || fail "SIG$sig: $(diff expected out)"
    done
    ;;
bed_vanished)
    # Every process that boardsim looks at in /proc is gone between the open and the read of its
    # stat: boardsim still passes the TERM on and ends with COMMAND's status.
    [ -n "${VANISHED_STAT:-}" ] || fail "VANISHED_STAT names no preload"
    timeout -k 2 20 env LD_PRELOAD="$VANISHED_STAT" "$boardsim" leds -- \
        sh -c 'trap "echo got TERM; exit 3" TERM; : >ready; while :; do :; done' >out 2>err &
    runner=$!
    await '[ -e ready ]'
    kill -TERM "$(pgrep -P $runner)"
    finish
    expect_status 3
    [ "$(cat out)" = "got TERM" ] || fail "COMMAND's TERM trap did not run"
    ! grep -q terminate err || fail "boardsim aborted"
    ;;
bed_path)
    # A program found through PATH starts as a shell would start it (an ARM one under qemu-arm,
    # as the same program: its argv[0], the file found, the armhf root): COMMAND itself, and in
    # a script the shell's search, execvp's (env), execlp's, posix_spawnp's (python) and an
    # empty PATH entry (the current folder). A folder of the program's name earlier in PATH is passed over.
    mkdir -p early/lumend bin
    ln -s "$lumend" bin/lumend
    PATH="$work/early:bin:$PATH" run leds --chip-missing 2 -- lumend
    expect_status 1
    has err "log lines the programs wrote: 1
    android D/virtualMCU: open aw9110_2_dev error"
    cat >path.sh <<'SCRIPT'
# Until the daemon $1 waits in the open of its pipe; then its command line, and the end command.
show() {
    until grep -q wait_for_partner /proc/$1/wchan 2>/dev/null; do sleep 0.05; done
    echo "$2: $(tr '\0' ' ' </proc/$1/cmdline | sed "s|-E LD_PRELOAD=[^ ]*|-E PRELOADS|; s|$TESTBED_ARM_ROOT|ROOT|")"
    printf '\377' >/data/led_pipe
}
PATH=early:bin:$PATH
exec 3>&1 >&2  # the daemons' lines to standard error, these to the output
lumend 3 & show $! shell >&3; wait $! || echo "status $?" >&3
env lumend 3 & show $! execvp >&3; wait $! || echo "status $?" >&3
python3 -c 'import ctypes; ctypes.CDLL(None).execlp(b"lumend", b"lumend", b"3", None)' & show $! execlp >&3
wait $! || echo "status $?" >&3
python3 -c 'import os, sys; pid = os.posix_spawnp("lumend", ["lumend", "3"], os.environ); print(pid, file=sys.stderr)
os._exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))' 2>spawned & spawner=$!
until [ -s spawned ]; do sleep 0.05; done
show "$(cat spawned)" posix_spawnp >&3; wait $spawner || echo "status $?" >&3
(cd bin && PATH=early::/usr/bin:/bin exec env lumend 3) & show $! empty >&3; wait $! || echo "status $?" >&3
SCRIPT
    run leds -- sh path.sh
    expect_status 0
    if od -An -tx1 -j4 -N1 "$lumend" | grep -q 01; then  # ELFCLASS32: the armhf build
        prefix="$(command -v qemu-arm) -L ROOT -0 lumend -E PRELOADS "
        found="${prefix}bin/lumend 3 " here="${prefix}./lumend 3 "
    else
        found="lumend 3 " here="lumend 3 "
    fi
    printf 'shell: %s\nexecvp: %s\nexeclp: %s\nposix_spawnp: %s\nempty: %s\n' "$found" "$found" "$found" "$found" "$here" >expected
    cmp -s expected out || fail "$(diff expected out)"
    ;;
replay_mcu)
    # A recorded update replayed without the model: the same output and status; an image with one
    # byte changed stops the replay at that byte of its Write Memory, and coprocflash then ends
    # as with an MCU whose bootloader never answers.
    head -c 3000 /dev/urandom >mcu.bin
    replayed mcu a.trace "--new-version 2.0.13" "" "$coprocflash" mcu.bin 2.0.13
    grep -qE "^    /dev/ttyS1: ([0-9]+) of \1 recorded requests matched" r/report.txt || fail "not every request matched"
    has r/report.txt "    /sys/class/gpio: 17 of 17 recorded requests matched"
    has r/report.txt "no difference: every request made matched the recording"
    has r/report.json '"difference": null'
    byte=$(od -An -tx1 -j273 -N1 mcu.bin | tr -d ' \n')
    new=00; [ "$byte" = 00 ] && new=01
    cp mcu.bin other.bin
    printf "\\$(printf %o 0x$new)" | dd of=other.bin bs=1 seek=273 conv=notrunc 2>/dev/null
    run mcu --fast --replay a.trace --report r -- "$coprocflash" other.bin 2.0.13
    replayed=$status
    has r/report.txt "the replay ended at the first difference: Write Memory at 0x08000100, 256 bytes: byte 17 is 0x$new, recorded 0x$byte"
    has r/report.json '"difference": "Write Memory at 0x08000100, 256 bytes: byte 17 is 0x'$new
    grep -v mcu_gpio_config out | tail -2 >replayed.tail
    run mcu --fast --silent-bootloader 9 -- "$coprocflash" other.bin 2.0.13
    [ "$replayed" -eq "$status" ] || fail "status $replayed after the difference, $status with a silent bootloader"
    grep -v mcu_gpio_config out | tail -2 | cmp -s - replayed.tail || fail "the end differs from a silent bootloader's: $(cat replayed.tail)"
    ;;
replay_touch)
    head -c 387 /dev/urandom >touch.bin
    replayed touch t.trace "--new-version 12" "" "$sensorflash" touch.bin 1.0.12
    has r/report.txt "no difference: every request made matched the recording"
    # Another image: the first differing frame ends the replay; writes to the silent
    # controller fail, and sensorflash gives up as when its frames are refused.
    head -c 387 /dev/urandom >other.bin
    run touch --fast --replay t.trace --report r -- "$sensorflash" other.bin 1.0.12
    expect_status 254
    has r/report.txt "the replay ended at the first difference: request "
    has r/report.txt " on /dev/morlan_touch: wrote "
    [ "$(tail -1 out)" = "TOUCH UPDATE FAIL:ret=-2" ] || fail "last line: $(tail -1 out)"
    ;;
replay_leds)
    replayed leds l.trace "" "--send 1,3" "$lumend"
    has r/report.txt "  /dev/aw9110_2_dev: 15 of 15 recorded requests matched"
    [ ! -e r/leds-timeline.svg ] || fail "a model's timeline under replay"
    # Another command: the first register write of its pattern differs; the chips fall silent.
    run leds --fast --send 1,2 --replay l.trace --report r -- "$lumend"
    has r/report.txt "the replay ended at the first difference: request 110 on /dev/aw9110_1_dev: wrote 2 bytes, byte 0 is 0x25, recorded 0x26: LEVEL5 (0x25) = 0x00, recorded LEVEL6 (0x26) = 0x00"
    # An absent chip stays absent.
    run leds --fast --chip-missing 2 --trace m.trace -- "$lumend" 3
    recorded=$status; mv out rec.out
    run leds --fast --replay m.trace -- "$lumend" 3
    [ "$status" -eq "$recorded" ] || fail "status $status, recorded $recorded"
    cmp -s out rec.out || fail "stdout differs from the recorded run's"
    ;;
replay_bad)
    printf 'echo x\n' >x.sh
    run mcu --replay none.trace -- sh x.sh
    expect_status 2
    [ "$(cat err)" = "boardsim: --replay none.trace: No such file or directory" ] || fail "not the one line"
    run mcu --replay x.sh -- sh x.sh
    expect_status 2
    has err 'boardsim: --replay x.sh: line 1: no trace'
    printf 'boardsim-trace 1 mcu sh\n0.1 7 sh /dev/ttyS1 3 write 1 1 7f\n' >a.trace
    run touch --replay a.trace -- sh x.sh
    expect_status 2
    [ "$(cat err)" = "boardsim: --replay a.trace: the recording (of boardsim mcu) holds none of the devices of boardsim touch" ] ||
        fail "not the one line"
    run mcu --replay a.trace --state s.json -- sh x.sh
    expect_status 2
    [ ! -e s.json ] || fail "state written"
    # The whole board: the part the recording holds is replayed, the others keep their models.
    run board --fast --replay a.trace --report r -- sh x.sh
    expect_status 0
    has r/report.json '"outcome": "replayed without a difference, recording not used up"'
    has r/report.txt "  /dev/ttyS1: 0 of 1 recorded requests matched"
    has r/report.txt "firmware version byte"
    ;;
*)
    fail "no such case"
    ;;
esac
echo "ok $name"
