#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on a seed corpus written by the
# project's own LAS writer. Any finding ends the script with a failure.
#
# Usage: tests/fuzz/run_fuzzers.sh BUILD_DIR [SECONDS_EACH [SEED]]
set -euo pipefail
build=$1
seconds=${2:-30}
seed=${3:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/tests/fuzz/make_seeds" "$work/corpus"
status=0
for target in "$build"/tests/fuzz/fuzz_*; do
  name=$(basename "$target")
  mkdir -p "$work/corpus/$name" "$work/findings/$name"
  echo "== $name: ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -seed="$seed" -print_final_stats=1 \
      -artifact_prefix="$work/findings/$name/" "$work/corpus/$name" >"$work/$name.log" 2>&1; then
    echo "$name found a fault:"
    tail -n 40 "$work/$name.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/$name.log" || true
  fi
done
exit $status
