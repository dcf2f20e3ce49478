#!/usr/bin/env bash
# Installs, builds and runs the programs on the simulated board.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
echo "== lumend on the simulated board =="
build/release/tools/lumend_demo build/lumend-timeline.svg
echo
echo "== sensorflash: a touch firmware update on the simulated board =="
bash scripts/sensorflash_demo.sh build/release
echo
echo "== coprocflash: an MCU firmware update on the simulated board =="
bash scripts/coprocflash_demo.sh release
