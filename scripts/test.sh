#!/usr/bin/env bash
# Installs, builds and runs every test: the debug build with AddressSanitizer and
# UndefinedBehaviorSanitizer (all tests), then the ThreadSanitizer build (the LED daemon's).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
cmake --preset debug >/dev/null
cmake --build --preset debug
ctest --preset debug -j "$jobs"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -j "$jobs"
