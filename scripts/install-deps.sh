#!/usr/bin/env bash
# Installs what the build and the test bed need on a Debian 12 machine (run as root), and the
# 32-bit ARM (armhf) cross toolchain, qemu-arm and the :armhf libraries of the device build.
# Idempotent: installs only what is missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config            # build
  make                                        # the Android.mk check reads it with GNU make
  android-liblog-dev android-libcutils-dev    # liblog and libcutils headers/libraries for lumend
  libgtest-dev libgmock-dev                   # unit tests
  umockdev libumockdev-dev libglib2.0-dev     # test bed: simulated device nodes and /sys
  faketime libfaketime                        # test bed: shortened waits for the long MCU update runs
  stm32flash                                  # test bed: an independent AN3155 client for the MCU model
  crossbuild-essential-armhf                  # armhf: arm-linux-gnueabihf-g++, -strip
  qemu-user                                   # armhf: qemu-arm runs the ARM unit tests
  clang libclang-rt-14-dev                    # fuzz targets: clang, libFuzzer and its sanitizer runtimes
  llvm                                        # fuzz targets: llvm-profdata and llvm-cov for their coverage
  # armhf builds of the libraries above (multiarch, under /usr/lib/arm-linux-gnueabihf)
  libgtest-dev:armhf libgmock-dev:armhf android-liblog-dev:armhf android-libcutils-dev:armhf
)
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
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  # --no-remove: should the host and armhf versions of a multiarch library disagree, apt must
  # not resolve that by removing host packages; it fails instead.
  apt-get install -y --no-install-recommends --no-remove "${missing[@]}"
fi
