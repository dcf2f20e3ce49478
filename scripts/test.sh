#!/usr/bin/env bash
# Installs, builds and runs every test: the debug build with AddressSanitizer and
# UndefinedBehaviorSanitizer (all tests), an optimized build (CMake's Release type) with the unit
# tests, the ThreadSanitizer build (the LED daemon's), the 32-bit ARM cross build (armhf, -Os)
# whose unit tests run under qemu-arm and whose programs then run every end-to-end test on the
# debug build's test bed (under qemu-arm, in the armhf root of scripts/armhf-root.sh), and the
# libFuzzer targets (clang), each replaying its regression inputs and then fuzzing for 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
cmake --preset debug >/dev/null
cmake --build --preset debug
ctest --preset debug -j "$jobs"
# The optimizer may turn code into other calls (malloc + memset into calloc) that a test's
# fault injection must still meet: the unit tests pass at every build type.
cmake --preset optimized >/dev/null
cmake --build --preset optimized
ctest --preset optimized -j "$jobs"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -j "$jobs"
# The cross build's unit tests under qemu-arm; then its programs end to end, with the same
# board models and expectations as the host build's, on the debug build's bed.
cmake --preset armhf >/dev/null
cmake --build --preset armhf
ctest --preset armhf -j "$jobs"
bash scripts/armhf-root.sh
ctest --preset armhf-e2e -j "$jobs"
bash scripts/fuzz.sh 30
