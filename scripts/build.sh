#!/usr/bin/env bash
# Configures and builds into a folder: scripts/build.sh [BUILD_DIR] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Debug} "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
