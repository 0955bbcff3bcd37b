#!/usr/bin/env bash
# Builds the library and orvter only, and runs the main job: orvter demo (a 2,000,000-point
# cloud generated, examined, copied whole, thinned block by block, and an XML report of it all).
# Usage: scripts/demo.sh [orvter demo options, e.g. --out DIR to keep the files]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh library tool
cmake --preset demo >/dev/null
cmake --build --preset demo
./build/demo/tools/orvter demo "$@"
