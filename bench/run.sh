#!/bin/sh
# Runs every benchmark built in the given build directory.
set -e
build=${1:-build-bench}
for b in "$build"/bench_*; do
  [ -x "$b" ] || continue
  "$b" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
done
