#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset) and runs each: first its kept regression inputs
# once each, then a bounded fuzzing run over its seed corpus. New inputs collect in
# build/fuzz/corpus/<target>, crash inputs in build/fuzz/artifacts/, each run's log in
# build/fuzz/logs/. Usage: scripts/fuzz.sh [seconds per target (default 30)] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
seconds=${1:-30}
[ $# -gt 0 ] && shift
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
bin=build/fuzz/fuzz
if [ $# -gt 0 ]; then targets=("$@"); else targets=($(ls fuzz/corpus)); fi
# -timeout: seconds one input may take (every wait is free, so a slow input is a hang);
# -close_fd_mask=1: the programs' own lines are not shown (replay an input to see them).
opts=(-timeout=10 -close_fd_mask=1)
mkdir -p build/fuzz/artifacts build/fuzz/logs

# Runs a target with the given arguments into its log; on failure shows the log's end.
run() {
  local t=$1 log=$2
  shift 2
  if ! "$bin/$t" "${opts[@]}" "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "$t: FAILED (log: $log)" >&2
    return 1
  fi
}

status=0
for t in "${targets[@]}"; do
  regressions=(fuzz/regressions/"$t"/*)
  if [ -e "${regressions[0]}" ]; then
    echo "== $t: ${#regressions[@]} regression input(s)"
    run "$t" "build/fuzz/logs/$t-regressions.log" "${regressions[@]}" || { status=1; continue; }
  fi
  echo "== $t: fuzzing for ${seconds}s"
  mkdir -p "build/fuzz/corpus/$t"
  run "$t" "build/fuzz/logs/$t.log" -max_total_time="$seconds" -artifact_prefix="build/fuzz/artifacts/$t-" \
    "build/fuzz/corpus/$t" "fuzz/corpus/$t" || { status=1; continue; }
  grep -E '^#[0-9]+[[:space:]]+DONE' "build/fuzz/logs/$t.log" || true
done
exit "$status"
