#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time:
# scripts/fuzz.sh [BUILD_DIR] [SECONDS]. Crash inputs land in BUILD_DIR/crashes;
# keep any of them under fuzz/<area>/regressions as a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-fuzz}
seconds=${2:-60}
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DZEFA_BUILD_FUZZ=ON -DZEFA_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target zefa_client_fuzz
mkdir -p "$dir/crashes" "$dir/corpus-client"
"$dir/fuzz/client/zefa_client_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$dir/crashes/" "$dir/corpus-client" fuzz/client/corpus
