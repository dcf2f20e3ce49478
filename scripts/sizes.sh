#!/usr/bin/env bash
# Builds the armhf release binaries (-Os, no exceptions or RTTI), strips a copy of each into
# build/armhf/stripped/ and prints its size. Fails when one is above the device's budget.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
readonly programs=(lumend sensorflash coprocflash)
readonly limit_bytes=$((32 * 1024))  # per binary, stripped
readonly build_dir=build/armhf
readonly strip_dir=$build_dir/stripped

cmake --preset armhf >/dev/null
# A program is measured once its directory defines it (the three arrive on separate branches).
targets=$(cmake --build --preset armhf --target help | sed -n 's/^\([a-z_]*\): phony$/\1/p')
present=()
for p in "${programs[@]}"; do
  if grep -qx "$p" <<<"$targets"; then present+=("$p"); else echo "$p: not in this tree yet"; fi
done
if [ ${#present[@]} -eq 0 ]; then
  echo "no program to measure" >&2
  exit 1
fi
cmake --build --preset armhf --target "${present[@]}" >/dev/null

mkdir -p "$strip_dir"
status=0
printf '%-12s %8s %8s\n' program bytes limit
for p in "${present[@]}"; do
  arm-linux-gnueabihf-strip -o "$strip_dir/$p" "$build_dir/$p/$p"
  size=$(stat -c %s "$strip_dir/$p")
  verdict=ok
  if [ "$size" -gt "$limit_bytes" ]; then verdict="TOO LARGE"; status=1; fi
  printf '%-12s %8d %8d  %s\n' "$p" "$size" "$limit_bytes" "$verdict"
done
exit "$status"
