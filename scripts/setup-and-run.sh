#!/usr/bin/env bash
# On a fresh machine: install what is needed, build everything, run the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
./build/refhost/zefalink/zefalink catalogue 13450
