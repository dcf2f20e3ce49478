#!/usr/bin/env bash
# Installs, builds and runs every test: the debug build with AddressSanitizer and
# UndefinedBehaviorSanitizer (all tests), an optimized build (CMake's Release type) with the unit
# tests, the ThreadSanitizer build (the LED daemon's), the 32-bit ARM cross build (armhf, -Os) whose unit tests run under qemu-arm, and the libFuzzer
# targets (clang), each replaying its regression inputs and then fuzzing for 30 seconds.
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
# No test bed and no end-to-end tests in the cross build: see the note in CMakeLists.txt.
cmake --preset armhf >/dev/null
cmake --build --preset armhf
ctest --preset armhf -j "$jobs"
bash scripts/fuzz.sh 30
