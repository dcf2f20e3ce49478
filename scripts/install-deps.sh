#!/usr/bin/env bash
# Installs what the build and the test bed need on a Debian 12 machine (run as root).
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config            # build
  android-liblog-dev android-libcutils-dev    # liblog and libcutils headers/libraries for lumend
  libgtest-dev libgmock-dev                   # unit tests
  umockdev libumockdev-dev libglib2.0-dev     # test bed: simulated device nodes and /sys
  faketime libfaketime                        # test bed: shortened waits for the long MCU update runs
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
