#!/usr/bin/env bash
# ctest's emulator for the armhf build: runs an ARM test binary under qemu-arm, unless the
# binary can start another program. There is no binfmt_misc here, so a program the ARM binary
# starts (system()'s /bin/sh above all) runs natively on the host, outside qemu and outside
# any test bed: the MCU updater's GPIO commands would reach the machine's real
# /sys/class/gpio. Tests replace such calls at link time (-Wl,--wrap=system); a binary that
# still imports one is refused, before any of its tests run.
# (execv stays allowed: GoogleTest's death tests use it to re-run the test binary itself.)
set -euo pipefail
readonly nm=arm-linux-gnueabihf-nm
readonly starts_program='^(system|popen|execve|execl|execle|execlp|execvp|execvpe|fexecve|posix_spawn|posix_spawnp)$'

bin=$1
shift
found=$("$nm" --undefined-only --format=posix "$bin" | awk '{print $1}' | sed 's/@.*//' | grep -E "$starts_program" || true)
if [ -n "$found" ]; then
  echo "qemu-arm-guard: not running $bin under qemu: it imports $(echo $found | tr ' ' ','), which" \
       "would start a host program outside the test bed; wrap it in the test's link" >&2
  exit 1
fi
# "-L /": see armhf-toolchain.cmake.
exec qemu-arm -L / "$bin" "$@"
