#!/usr/bin/env bash
# Builds the fuzz targets and runs each for a bounded time (argument: seconds per target,
# default 60), side by side. Fails on any crash, leak, sanitizer report, timeout or
# escape from the extract target's destination. The seed corpus in fuzz/corpus/ is only
# read; what the run discovers goes to fuzz/out/corpus/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
bash fuzz/build.sh

# The targets write under TMPDIR for every input: a memory file system when there is one,
# removed however the run ends.
scratch="$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/hlg-fuzz-run-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

targets=(manifest chunk_reader verify_walk extract_walk)
pids=()
for target in "${targets[@]}"; do
    work="fuzz/out/corpus/$target"
    mkdir -p "$work"
    # -rss_limit_mb keeps a runaway allocation from taking the machine; artifacts of a
    # failure land in fuzz/out/ for reproduction ("fuzz/out/<target> <artifact>").
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "fuzz/out/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="fuzz/out/$target-" \
        "$work" "fuzz/corpus/$target" >"fuzz/out/$target.log" 2>&1 &
    pids+=($!)
done

failed=0
for i in "${!targets[@]}"; do
    if wait "${pids[$i]}"; then
        echo "fuzz ${targets[$i]}: passed ($(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "fuzz/out/${targets[$i]}.log" | grep -o '[0-9]*$') inputs)"
    else
        echo "fuzz ${targets[$i]}: FAILED, last lines of fuzz/out/${targets[$i]}.log:"
        tail -n 40 "fuzz/out/${targets[$i]}.log"
        failed=1
    fi
done
exit "$failed"
