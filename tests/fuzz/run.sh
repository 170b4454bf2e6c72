#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each from its seed corpus; fails on any finding.
set -uo pipefail
build=${1:?build dir}
seconds=${2:-30}
here=$(cd "$(dirname "$0")" && pwd)
status=0
for seeds in "$here"/corpus/*/; do
  target=$(basename "$seeds")
  work="$build/corpus/$target"
  mkdir -p "$work" "$build/artifacts/$target"
  log="$build/$target.log"
  "$build/tests/fuzz/$target" "$work" "$seeds" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target/" >"$log" 2>&1
  rc=$?
  runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  if [ $rc -ne 0 ]; then
    echo "FAIL $target (exit $rc): see $log"; tail -n 30 "$log"; status=1
  else
    echo "ok   $target: ${runs:-?} executions in ${seconds}s"
  fi
done
exit $status
