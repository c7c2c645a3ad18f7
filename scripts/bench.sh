#!/usr/bin/env bash
# Builds the benchmarks optimised (Release) and runs every one of them:
# scripts/bench.sh [BUILD_DIR] [extra benchmark args...]. Figures from a
# debug build mean nothing, so this script never uses one.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bench}
shift || true
BUILD_TYPE=Release scripts/build.sh "$dir" -DZEFA_BUILD_BENCH=ON
for bench in $(find "$dir/bench" -type f -name '*_bench' -perm -u+x | sort); do
  echo "== $(basename "$bench") =="
  "$bench" "$@"
done
