#!/bin/sh
# Usage: in-testdata.sh CONFIGURED BUNDLED COMMAND [ARG...]
# Runs COMMAND in the samples' folder, chosen as testDataDir() chooses it: $ORV_TESTDATA_DIR when
# set, else CONFIGURED when it is there, else BUNDLED (the clone's own samples).
set -eu
configured="$1" bundled="$2"
shift 2
dir="${ORV_TESTDATA_DIR:-}"
if [ -z "$dir" ]; then
    if [ -d "$configured" ]; then dir="$configured"; else dir="$bundled"; fi
fi
cd "$dir"
exec "$@"
