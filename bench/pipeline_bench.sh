#!/usr/bin/env bash
# Time and peak memory of a filtered copy, by `las copy` and by the same stages as a pipeline, on
# generated clouds of growing size: the pipeline's memory must not grow with the file.
#   bash bench/pipeline_bench.sh ORVTER [POINTS...]     (default 5000000 20000000)
# A second orvter (ORVTER_BEFORE=...) adds its `las copy` rows, for a before/after table.
set -euo pipefail
orvter=${1:?the orvter to measure}
shift
sizes=("${@:-5000000 20000000}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
row() {  # label, command...
    local label=$1
    shift
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1
    read -r seconds kib <"$work/time"
    printf '| %s | %s | %s | %s MiB |\n' "$label" "$points" "$seconds" "$((kib / 1024))"
}
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
echo "| work | points | seconds | peak memory |"
echo "| --- | --- | --- | --- |"
for points in ${sizes[*]}; do
    "$orvter" las gen --quiet --points "$points" --seed 1 "$work/in.las" >/dev/null
    printf '["%s",{"type":"filters.range","limits":"Classification[2:2]"},"%s"]' \
        "$work/in.las" "$work/p.las" >"$work/p.json"
    if [ -n "${ORVTER_BEFORE:-}" ]; then
        row "las copy --keep-class 2 (before)" "$ORVTER_BEFORE" las copy --quiet --keep-class 2 \
            "$work/in.las" "$work/b.las"
    fi
    row "las copy --keep-class 2" "$orvter" las copy --quiet --keep-class 2 "$work/in.las" \
        "$work/c.las"
    row "pipeline, the same stages" "$orvter" pipeline --quiet "$work/p.json"
    cmp "$work/c.las" "$work/p.las"
done
