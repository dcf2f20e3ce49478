#!/usr/bin/env bash
# Installs, builds, and runs an integrator's install script on the whole simulated board with
# boardsim: a touch firmware update, an MCU update, then the LED daemon with commands through
# its pipe; then the same script again on the board as the first run left it (as after a
# reboot), which skips both updates.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
readonly bin=$PWD/build/release
readonly demo=$PWD/build/demo
mkdir -p "$demo"
# Firmware images: four 129-byte touch packets, and a raw MCU flash image of 70 KiB + 3 bytes.
head -c $((4 * 129)) /dev/urandom >"$demo/touch.bin"
head -c $((70 * 1024 + 3)) /dev/urandom >"$demo/mcu.bin"
cat >"$demo/install.sh" <<'SCRIPT'
# An install step: the touch controller, then the MCU (an MCU already up to date counts as
# success), then the LED daemon, started as an init script would, with a few commands.
sensorflash touch.bin 1.0.12 || exit 1
log=$(coprocflash mcu.bin 2.0.13); status=$?
echo "$log" | grep -v -e '^\[UART - ' -e '^\[MCU - wait_ack\]' -e 'write 256 byte'
echo "$log" | grep -qx "mcu already new version!" || [ $status -eq 0 ] || exit 2
[ -p /data/led_pipe ] || mkfifo /data/led_pipe
lumend 2 &
sleep 0.5  # the daemon shows its start-up pattern before the first command comes
for command in 1 3 0; do printf "\\$(printf %o $command)" >/data/led_pipe; sleep 2; done
printf '\377' >/data/led_pipe
wait $!
SCRIPT
export PATH="$bin/tools:$bin/lumend:$bin/sensorflash:$bin/coprocflash:$PATH"
cd "$demo"
rm -f state.json
for run in first second; do
    echo "== the $run run of install.sh on the whole board (state in $demo/state.json) =="
    status=0
    boardsim board --state state.json --fast --touch-new-version 12 --mcu-new-version 2.0.13 \
        --touch-image touch.bin --mcu-image mcu.bin --report "$run" -- sh install.sh || status=$?
    echo "install.sh ended with $status"
    cat "$run/report.txt"
    echo
done
echo "Reports: $demo/first/report.txt (and report.json), $demo/second/report.txt"
echo "LED timeline picture: $demo/first/leds-timeline.svg (open it in a browser)"
