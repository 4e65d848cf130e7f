#!/usr/bin/env bash
# Runs a built preset's whole suite again and again with a CPU hog beside it, and names every
# test that failed and in which run. A test that fails here once is a bug to mend.
# Usage: scripts/flake-hunt.sh [PRESET] [RUNS] [--no-hog]   (default: default 20)
# The logs of each run stay in build/PRESET/flake-hunt/.
set -uo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
runs="${2:-20}"
hog=1
[ "${3:-}" = "--no-hog" ] && hog=0
[ -f "build/$preset/CTestTestfile.cmake" ] || {
    echo "build/$preset is not built: scripts/test.sh $preset first" >&2
    exit 2
}
logs="build/$preset/flake-hunt"
mkdir -p "$logs"

hog_pid=""
if [ "$hog" -eq 1 ]; then
    # One core kept busy, as another build or a fuzzer would.
    sh -c 'while :; do :; done' &
    hog_pid=$!
fi
trap '[ -n "$hog_pid" ] && kill "$hog_pid" 2>/dev/null' EXIT

failed_runs=0
for run in $(seq "$runs"); do
    log="$logs/run-$run.log"
    start=$(date +%s)
    if ctest --preset "$preset" -j2 >"$log" 2>&1; then
        verdict="passed"
    else
        verdict="FAILED"
        failed_runs=$((failed_runs + 1))
    fi
    # ctest's summary lists each failed test as "  NN - name (Failed)" (or Timeout, ...).
    failures=$(sed -n 's/^[[:space:]]*[0-9]\+ - \(.*\)$/\1/p' "$log" | grep -v '(Skipped)$' |
        sed 's/  # GetParam.*(/ (/' | paste -sd ';' -)
    echo "run $run: $verdict in $(($(date +%s) - start)) s${failures:+: $failures}"
done
echo "$preset: $failed_runs of $runs runs had a failure (hog: $([ "$hog" -eq 1 ] && echo on || echo off))"
[ "$failed_runs" -eq 0 ]
