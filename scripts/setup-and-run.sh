#!/usr/bin/env bash
# On a fresh machine: install what is needed, build everything, run the first
# example (a well and flowline coupled to a pipeline server).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
out=build/example-run
./build/refhost/zefalink/zefalink run examples/well_flowline.case.json --output-dir "$out" --plot
echo "Trends:          $out/trends.csv (drawn in $out/trends.svg)"
echo "Profile picture: $out/profile.svg"
