#!/usr/bin/env bash
# Makes the armhf root in which the test bed runs 32-bit ARM programs under qemu-arm (qemu-arm
# -L ROOT): the ARM loader and libc, GLib and umockdev's preload (ptys and /sys for ARM
# processes) and the C++ runtime. Multiarch :armhf
# builds of umockdev and GLib cannot be installed beside the host's when the two archives'
# versions of a shared dependency differ; a root of its own has no such tie.
# Idempotent: a root that holds this package list is kept.
#   scripts/armhf-root.sh [DIR]   (default build/armhf-root)
set -euo pipefail
cd "$(dirname "$0")/.."
readonly root=${1:-build/armhf-root}
readonly packages=libc6,libstdc++6,libgcc-s1,libglib2.0-0,libumockdev0,umockdev
readonly mirror="deb http://deb.debian.org/debian bookworm main"
readonly attempts=4 pause_seconds=60  # a mirror sync usually settles within minutes
readonly stamp="$root/.packages"

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$packages" ]; then
  exit 0
fi
mkdir -p "$(dirname "$root")"
work=$(mktemp -d "$(dirname "$root")/armhf-root.XXXXXX")
trap 'rm -rf "$work"' EXIT
for attempt in $(seq 1 "$attempts"); do
  rm -rf "$work/root"
  # extract: the packages unpacked, nothing configured; only the main suite, whose index is
  # the one a mirror keeps consistent the longest.
  if mmdebstrap --quiet --variant=extract --architectures=armhf --include="$packages" bookworm "$work/root" "$mirror"; then
    break
  fi
  if [ "$attempt" -eq "$attempts" ]; then
    echo "armhf-root: mmdebstrap failed $attempts times; the ARM end-to-end tests need $root" >&2
    exit 1
  fi
  echo "armhf-root: waiting ${pause_seconds}s for the Debian mirror's armhf index to settle (try $attempt of $attempts failed)" >&2
  sleep "$pause_seconds"
done
# What the machine itself must provide: qemu -L would show the root's copies instead.
rm -rf "$work/root/dev" "$work/root/proc" "$work/root/sys" "$work/root/tmp" "$work/root/run"
echo "$packages" >"$work/root/.packages"
rm -rf "$root"
mv "$work/root" "$root"
echo "armhf-root: $root ($(du -sh "$root" | cut -f1))"
