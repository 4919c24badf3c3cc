#!/bin/sh
# Runs every benchmark built in the given build directory.
set -e
build=${1:-build-bench}
flags="--benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true"
for b in "$build"/bench_*; do
  [ -x "$b" ] || continue
  "$b" $flags
  # The environment may pin OpenBLAS to one kernel: the product is also compared with its own choice.
  if [ "$(basename "$b")" = bench_gemm ] && [ -n "${OPENBLAS_CORETYPE:-}${OPENBLAS_L2_SIZE:-}" ]; then
    echo "== bench_gemm with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset"
    env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE "$b" $flags
  fi
done
