#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a bounded time; fails on any finding.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
# Findings land in build/fuzz/findings/<target>/; once fixed, keep the input in
# fuzz/regressions/<target>/, which is replayed before every run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
bash scripts/setup.sh library fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

build=build/fuzz
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
while IFS=$'\t' read -r name program corpus options; do
    [ -n "$name" ] || continue
    work="$build/corpus/$name"
    findings="$build/findings/$name"
    log="$build/fuzz-$name.log"
    mkdir -p "$work" "$findings"
    read -r -a extra <<<"$options"

    regressions=(fuzz/regressions/"$name"/*)
    if [ -e "${regressions[0]}" ]; then
        if ! "$program" "${extra[@]}" "${regressions[@]}" >"$log" 2>&1; then
            echo "fuzz $name: a kept regression input fails again"
            tail -n 40 "$log"
            status=1
            continue
        fi
    fi

    # New inputs go to the work corpus in the build tree; the committed seeds stay as they are.
    if "$program" "${extra[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$corpus" >"$log" 2>&1; then
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        echo "fuzz $name: no finding in ${seconds} s, ${runs:-?} runs, ${rate:-?} exec/s"
    else
        echo "fuzz $name: FINDING, input kept in $findings/, log in $log"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$log" | head -n 5 || true
        tail -n 40 "$log"
        status=1
    fi
done <"$build/fuzz-targets.txt"
exit "$status"
