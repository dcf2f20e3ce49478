#!/usr/bin/env bash
# Installs, builds, and runs the three programs on the simulated board with boardsim: the LED
# daemon with a few commands through its pipe, a touch firmware update and an MCU update.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
readonly bin=build/release
readonly demo=build/demo
mkdir -p "$demo"
# Firmware images: four 129-byte touch packets, and a raw MCU flash image of 70 KiB + 3 bytes.
head -c $((4 * 129)) /dev/urandom >"$demo/touch.bin"
head -c $((70 * 1024 + 3)) /dev/urandom >"$demo/mcu.bin"

echo "== lumend: commands 1, 3, 0 and 2 through its pipe, two seconds apart, then 255 =="
"$bin/tools/boardsim" leds --send 1,3,0,2 --every 2 --report "$demo/leds" -- "$bin/lumend/lumend"
cat "$demo/leds/report.txt"
echo
echo "== sensorflash: a touch firmware update, the controller at version 11 =="
"$bin/tools/boardsim" touch --version 11 -- "$bin/sensorflash/sensorflash" "$demo/touch.bin" 1.0.12
echo
echo "== coprocflash: an MCU update from 2.0.9 to 2.0.13 (the per-frame lines left out here) =="
"$bin/tools/boardsim" mcu --app-version 2.0.9 --new-version 2.0.13 -- \
    "$bin/coprocflash/coprocflash" "$demo/mcu.bin" 2.0.13 2>&1 |
    grep --line-buffered -v -e '^\[UART - ' -e '^\[MCU - wait_ack\]' -e 'write 256 byte'
