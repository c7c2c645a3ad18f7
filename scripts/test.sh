#!/usr/bin/env bash
# Builds (if needed) and runs the whole test suite: scripts/test.sh [BUILD_DIR] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
scripts/build.sh "$dir" -DZEFA_BUILD_BENCH=OFF "$@"
ctest --test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300
