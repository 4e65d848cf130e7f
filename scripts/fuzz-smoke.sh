#!/usr/bin/env bash
# Runs every fuzz target for a while (30 s each by default), as many at once as there are
# cores, each on a scratch copy of its committed corpus, so the corpus itself is never changed.
# The targets come from the asan build, which links them with libFuzzer (configured and built
# here if needed). Fails on any finding; the reproducer is left in the scratch folder, whose
# path is printed.
# Usage: scripts/fuzz-smoke.sh [seconds-per-target] [preset]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ci/jobs.sh
seconds="${1:-30}"
preset="${2:-asan}"
jobs="${FUZZ_JOBS:-$(nproc)}"

targets=$(sed -n 's/^    \(fuzz_[a-z0-9_]*\)$/\1/p' tests/fuzz/CMakeLists.txt)
[ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset"
cmake --build --preset "$preset" --target $targets

scratch="$(mktemp -d "${TMPDIR:-/tmp}/vorasel-fuzz.XXXXXX")"

run_one() {
    local name="$1" work="$scratch/$1" corpus="tests/fuzz/corpus/${1#fuzz_}"
    mkdir -p "$work/corpus" "$work/findings"
    [ -d "$corpus" ] && cp -R "$corpus/." "$work/corpus/"
    if "build/$preset/tests/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$work/findings/" "$work/corpus" > "$work/log" 2>&1; then
        echo "== $name: ${seconds} s, $(grep -E '^stat::number_of_executed_units' "$work/log" |
            awk '{print $2}') runs, $(grep -oE 'cov: [0-9]+' "$work/log" | tail -n 1)"
    else
        echo "FAILED: $name (log and reproducer in $work)"
        tail -n 40 "$work/log"
        return 1
    fi
}

status=0
# shellcheck disable=SC2086
run_each "$jobs" run_one $targets || status=1
[ "$status" -eq 0 ] && rm -rf "$scratch"
exit "$status"
