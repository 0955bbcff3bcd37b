#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for the named parts of the work.
# Usage: scripts/setup.sh PART...   (PART: library, tool, test, bench, fuzz)
#   library  the compiler, the build tools, libpng, PROJ, libcurl (COPC over HTTP) and GDAL (rasters,
#            polygons, triangulation): all the library needs
#   tool     orvter (and the demo), with the npm packages of the page orvter view serves
#   test     the test suite, including the install check and the cross-check reader
#   bench    the benchmark programs' peers
#   fuzz     clang's libFuzzer
set -euo pipefail

declare -A packages=(
    [library]="cmake g++ make libpng-dev libproj-dev proj-data libcurl4-openssl-dev libgdal-dev"
    [tool]="libcli11-dev nlohmann-json3-dev"
    [test]="libgtest-dev pkg-config proj-bin libxml2-utils openssl pybind11-dev python3-dev python3-numpy python3-distributed python3-pytest python3-venv chromium gdal-bin python3-gdal python3-scipy"
    [bench]="libpugixml-dev libtinyxml2-dev"
    [fuzz]="clang libclang-rt-14-dev"
)

[ $# -gt 0 ] || set -- library tool test bench
missing=()
node=false
crosscheck=false
for part in "$@"; do
    [ -n "${packages[$part]+set}" ] || { echo "setup.sh: unknown part '$part'" >&2; exit 2; }
    for p in ${packages[$part]}; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    case "$part" in
        tool) node=true ;;
        test) node=true crosscheck=true ;;
    esac
done
# The machine image may bring its own Node.js and npm; Debian's are only a fallback.
if $node && ! command -v npm >/dev/null 2>&1; then missing+=(nodejs npm); fi
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The independent LAS and LAZ readers of the cross-check tests, pinned by
# tests/js/package-lock.json; a checkout installed before one of them was added gets it too.
js="$(dirname "$0")/../tests/js"
if $crosscheck && { [ ! -d "$js/node_modules/copc" ] || [ ! -d "$js/node_modules/laz-perf" ]; }; then
    (cd "$js" && npm ci --no-audit --no-fund)
fi

# The page of orvter view (three, copc, laz-perf, bundled by esbuild at build time) and the
# browser test's driver (puppeteer-core), pinned by web/package-lock.json.
web_dir="$(dirname "$0")/../web"
if $node && { [ ! -x "$web_dir/node_modules/.bin/esbuild" ] || [ ! -d "$web_dir/node_modules/puppeteer-core" ]; }; then
    (cd "$web_dir" && npm ci --no-audit --no-fund)
fi
