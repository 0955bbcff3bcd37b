#!/usr/bin/env bash
# Terrain jobs on generated terrain, each in a fresh process: points per second, peak memory
# (GNU time's maximum resident set), the DTM against gdal_grid's linear method on the same
# ground points, and heights above ground against a plain read and write of the same file.
# Usage: bench/terrain_bench.sh ORVTER [POINTS] [WORKDIR]   (POINTS: 20000000 by default)
set -euo pipefail
orvter=${1:?usage: terrain_bench.sh ORVTER [POINTS] [WORKDIR]}
points=${2:-20000000}
work=${3:-$(mktemp -d)}
mkdir -p "$work"
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) is needed" >&2; exit 2; }

# Runs a command once; prints its name, seconds, points per second and peak MiB.
measure() {
    local name=$1; shift
    local log="$work/time.log"
    /usr/bin/time -f "%e %M" -o "$log" "$@" >/dev/null
    read -r seconds kib <"$log"
    awk -v n="$name" -v s="$seconds" -v k="$kib" -v p="$points" \
        'BEGIN { printf "%-28s %8.2f s %10.2f Mpt/s %8.0f MiB\n", n, s, p / s / 1e6, k / 1024 }'
}

echo "points: $points   load: $(cut -d' ' -f1-3 /proc/loadavg)   cores: $(nproc)"
"$orvter" las gen --terrain --quiet --points "$points" "$work/scene.las" >/dev/null
measure "read + write (las copy)" "$orvter" las copy --quiet "$work/scene.las" "$work/copy.las"
measure "ground" "$orvter" las ground --quiet "$work/scene.las" "$work/ground.las"
measure "height above ground" "$orvter" las hag --quiet "$work/ground.las" "$work/hag.las"
measure "dtm 1 m" "$orvter" las dem --quiet "$work/ground.las" "$work/dtm.tif" --kind dtm --resolution 1
measure "chm 1 m" "$orvter" las dem --quiet "$work/ground.las" "$work/chm.tif" --kind chm --resolution 1
measure "noise" "$orvter" las noise --quiet "$work/scene.las" "$work/noise.las"

if command -v gdal_grid >/dev/null; then
    # The same ground points and raster for gdal_grid.
    "$orvter" las copy --quiet --keep-class 2 "$work/ground.las" "$work/only-ground.las"
    "$orvter" las to-text "$work/only-ground.las" "$work/ground.csv" --header >/dev/null
    cat >"$work/ground.vrt" <<VRT
<OGRVRTDataSource><OGRVRTLayer name="ground"><SrcDataSource>$work/ground.csv</SrcDataSource>
<GeometryType>wkbPoint</GeometryType><GeometryField encoding="PointFromColumns" x="x" y="y" z="z"/>
</OGRVRTLayer></OGRVRTDataSource>
VRT
    size=$(gdalinfo "$work/dtm.tif" | awk '/^Size is/ { gsub(",", ""); print $3, $4 }')
    read -r cols rows <<<"$size"
    origin=$(gdalinfo "$work/dtm.tif" | awk -F'[(,)]' '/^Origin/ { print $2, $3 }')
    read -r left top <<<"$origin"
    measure "gdal_grid -a linear 1 m" gdal_grid -q -a linear -txe "$left" "$(echo "$left + $cols" | bc)" \
        -tye "$top" "$(echo "$top - $rows" | bc)" -outsize "$cols" "$rows" -l ground \
        "$work/ground.vrt" "$work/gdal_dtm.tif"
fi
