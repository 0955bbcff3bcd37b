#!/usr/bin/env bash
# Builds the project and runs every test. Usage: scripts/test.sh [release|debug|asan-ubsan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
bash scripts/setup.sh library tool test bench
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
