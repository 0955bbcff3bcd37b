#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and benchmark the project.
set -euo pipefail

packages=(
    cmake g++ make pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libcli11-dev nlohmann-json3-dev
    libpugixml-dev libtinyxml2-dev libxml2-utils
    clang libclang-rt-14-dev
    pybind11-dev python3-dev python3-numpy python3-distributed python3-pytest
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# The machine image may bring its own Node.js and npm; Debian's are only a fallback.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The independent LAS reader of the cross-check tests, pinned by tests/js/package-lock.json.
if [ ! -d "$(dirname "$0")/../tests/js/node_modules" ]; then
    (cd "$(dirname "$0")/../tests/js" && npm ci --no-audit --no-fund)
fi
