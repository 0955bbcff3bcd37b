#!/usr/bin/env bash
# Installs a built tree into a scratch prefix and builds the example consumer against it, as a
# caller's project would: find_package(OrvTerDep), then pkg-config.
# Usage: scripts/check-install.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S examples -B "$scratch/example" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/example" >/dev/null
"$scratch/example/shift_cloud" "$build/sample.las" "$scratch/shifted.las" 10 -20 0.5
# The README's snippets, against the same installed package.
"$scratch/example/read_whole" "$build/sample.las" >/dev/null
"$scratch/example/stream_origin" "$build/sample.las" >/dev/null
"$scratch/example/write_back" "$build/sample.las" "$scratch/thinned.las" >/dev/null
printf '<?xml version="1.0"?>\n<a><b unit="m">12.5</b></a>\n' >"$scratch/doc.xml"
"$scratch/example/xml_value" "$scratch/doc.xml" /a/b unit >/dev/null

flags="$(PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig" pkg-config --cflags --libs OrvTerDep)"
# shellcheck disable=SC2086 # the flags are words on purpose
g++ -std=c++17 examples/shift_cloud.cpp -o "$scratch/shift_cloud_pc" $flags -Wl,-rpath,"$scratch/prefix/lib"
"$scratch/shift_cloud_pc" "$build/sample.las" "$scratch/shifted_pc.las" 0 0 0 >/dev/null
echo "install check passed"
