#!/usr/bin/env bash
# Checks the build steps of the README's two set-up commands without building: configures the
# presets scripts/demo.sh and scripts/test.sh use in scratch folders and reads what their
# default build makes. The demo path must make the library and orvter only.
# Usage: scripts/check-demo-build.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

for script in demo test; do
    grep -q "^bash scripts/$script.sh" README.md || { echo "README: no $script command"; exit 1; }
done

# The targets the default build of a configured folder makes, one a line.
default_targets() {
    sed -n 's|^[a-z/]*all: .*CMakeFiles/\([A-Za-z0-9_]*\)\.dir/all$|\1|p' \
        "$1/CMakeFiles/Makefile2" | sort -u
}
targets_of() {
    cmake --preset "$1" -B "$scratch/$1" >/dev/null
    default_targets "$scratch/$1"
}

demo_preset="$(sed -n 's/^cmake --preset \([a-z-]*\).*/\1/p' scripts/demo.sh)"
[ -n "$demo_preset" ] || { echo "scripts/demo.sh configures no preset"; exit 1; }
demo="$(targets_of "$demo_preset")"
echo "$demo" | grep -qx orvter || { echo "the demo build makes no orvter"; exit 1; }
unwanted="$(echo "$demo" | grep -E '_tests$|^fuzz_|_bench$|^snippet_|test_support' || true)"
if [ -n "$unwanted" ]; then
    echo "the demo build makes more than the library and orvter:" $unwanted
    exit 1
fi

# The test command's default preset builds the rest.
full="$(targets_of release)"
for wanted in tool_tests las_tests fuzz_probe las_bench; do
    echo "$full" | grep -qx "$wanted" || { echo "the test build makes no $wanted"; exit 1; }
done
# Embedded in a host project, the library alone: no tool, test, benchmark or fuzz target, and
# no package beyond the compiler.
mkdir -p "$scratch/host"
cat >"$scratch/host/CMakeLists.txt" <<HOST
cmake_minimum_required(VERSION 3.20)
project(host LANGUAGES CXX)
add_subdirectory("$PWD" orvterdep)
HOST
cmake -S "$scratch/host" -B "$scratch/host/build" >/dev/null
# The library is made of its layers, one object library a folder (orv_las, orv_copc, ...).
embedded="$(default_targets "$scratch/host/build")"
if echo "$embedded" | grep -qvxE 'OrvTerDep|orvTerBasic|orv_[a-z]+' ||
    ! echo "$embedded" | grep -qx OrvTerDep; then
    echo "embedded, the project makes:" $embedded
    exit 1
fi

echo "demo build makes:" $demo
echo "test build makes $(echo "$full" | wc -l) targets"
