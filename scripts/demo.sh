#!/usr/bin/env bash
# Builds the project and runs the main job on the sample data that the build generates.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
./build/release/tools/orvter las info build/release/sample.las
