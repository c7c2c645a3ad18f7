#!/usr/bin/env bash
# Builds the benchmarks optimised (Release) and runs every one of them:
# scripts/bench.sh [BUILD_DIR] [extra benchmark args...]. Figures from a
# debug build mean nothing, so this script never uses one. The goals are the
# BM_SimStepOverSocket rows with derivatives (…/1/100/1, …/1/1000/1, …/3/1000/1, and
# under the default law …/4/100/1, …/5/1000/1);
# sim_s_per_cpu_s counts the simulating process's CPU time, so the machine's
# load does not scale it. ZEFA_BENCH_PORT sets the server's port.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bench}
shift || true
BUILD_TYPE=Release scripts/build.sh "$dir" -DZEFA_BUILD_BENCH=ON
for bench in $(find "$dir/bench" -type f -name '*_bench' -perm -u+x | sort); do
  echo "== $(basename "$bench") =="
  "$bench" "$@"
done
