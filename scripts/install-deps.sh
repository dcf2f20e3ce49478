#!/usr/bin/env bash
# Installs what the build and the test bed need on a Debian 12 machine (run as root), and the
# 32-bit ARM (armhf) cross toolchain, qemu-arm and the :armhf libraries of the device build.
# Idempotent: installs only what is missing. While a Debian mirror syncs, its package lists
# can be briefly inconsistent (an index of unexpected size, :armhf versions that no longer
# match the host's): each step is then tried again after a pause, saying what it waits for,
# and in the end installation goes ahead from the lists already on the machine.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config            # build
  make                                        # the Android.mk check reads it with GNU make
  soong blueprint-tools ckati python3         # device checks: androidmk, bpfmt, the platform's make; the comparing script
  android-liblog-dev android-libcutils-dev    # liblog and libcutils headers/libraries for lumend
  libgtest-dev libgmock-dev                   # unit tests
  umockdev libumockdev-dev libglib2.0-dev     # test bed: simulated device nodes and /sys
  nlohmann-json3-dev                          # boardsim: the board's state file and report.json
  help2man dpkg-dev                           # boardsim: its man page from --help; dpkg-shlibdeps for cpack's Debian package
  stm32flash                                  # test bed: an independent AN3155 client for the MCU model
  strace                                      # boardsim import's tests: real captures made at test time
  crossbuild-essential-armhf                  # armhf: arm-linux-gnueabihf-g++, -strip
  qemu-user                                   # armhf: qemu-arm runs the ARM unit and end-to-end tests
  mmdebstrap                                  # armhf: the root the ARM end-to-end tests run in (scripts/armhf-root.sh)
  clang libclang-rt-14-dev                    # fuzz targets: clang, libFuzzer and its sanitizer runtimes
  llvm                                        # fuzz targets: llvm-profdata and llvm-cov for their coverage
  # armhf builds of the libraries above (multiarch, under /usr/lib/arm-linux-gnueabihf)
  libgtest-dev:armhf libgmock-dev:armhf android-liblog-dev:armhf android-libcutils-dev:armhf
)
readonly attempts=4 pause_seconds=60  # a mirror sync usually settles within a few minutes
export DEBIAN_FRONTEND=noninteractive

# The :armhf packages come from the armhf half of the archive, known to apt only once the
# architecture is added; they are then missing, so the package lists are fetched again below.
if ! dpkg --print-foreign-architectures | grep -qx armhf; then
  dpkg --add-architecture armhf
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

# --no-remove: should the host and armhf versions of a multiarch library disagree, apt must
# not resolve that by removing host packages; it fails instead (and is tried again).
install_missing() { apt-get install -y --no-install-recommends --no-remove "${missing[@]}"; }

for attempt in $(seq 1 "$attempts"); do
  # --error-on=any: an index that failed to download counts as a failure, not a warning.
  if apt-get update --error-on=any && install_missing; then
    exit 0
  fi
  if [ "$attempt" -lt "$attempts" ]; then
    echo "install-deps: the Debian mirror's package lists look inconsistent (a mirror sync in progress?);" \
         "waiting ${pause_seconds}s for them to settle, then trying again ($attempt of $attempts tries failed)" >&2
    sleep "$pause_seconds"
  fi
done
echo "install-deps: the package lists stayed inconsistent; installing from the lists already on this machine" >&2
install_missing
