#!/bin/sh
# Demo of a touch firmware update on the simulated board: runs the real sensorflash binary
# against the touch controller model. Usage: scripts/sensorflash_demo.sh [build dir] [packets]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
packets=${2:-4}
if [ ! -x "$build/tests/sensorflash/sensorflash_demo" ]; then
    echo "build first, e.g.: cmake --preset release && cmake --build --preset release" >&2
    exit 2
fi
build=$(cd "$build" && pwd)  # the bed starts the binary from its sandbox
exec "$build/tests/sensorflash/sensorflash_demo" "$build/sensorflash/sensorflash" "$packets"
