#!/bin/sh
# Runs an MCU update with the real coprocflash binary on the simulated board and prints the
# flash map it leaves. Usage: scripts/coprocflash_demo.sh [preset [image [version]]]
set -e
preset=${1:-release}
[ $# -gt 0 ] && shift
cd "$(dirname "$0")/.."
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target coproc_demo >/dev/null
exec "build/$preset/tests/coprocflash/coproc_demo" "$@"
