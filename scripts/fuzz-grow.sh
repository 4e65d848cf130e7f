#!/usr/bin/env bash
# Grows the committed fuzz corpora: runs each target for a while on a scratch copy of its
# corpus, then merges (-merge=1) what the run found into tests/fuzz/corpus/<name>/, which
# keeps every committed file and adds only inputs that reach new code. Prints the coverage
# each corpus starts from before and after. See tests/fuzz/README.
# Usage: scripts/fuzz-grow.sh [seconds-per-target] [preset] [target...]
#   (default: 300 s, the fuzz preset, every target; FUZZ_JOBS targets at once, nproc by default)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ci/jobs.sh
seconds="${1:-300}"
preset="${2:-fuzz}"
shift $(($# > 2 ? 2 : $#))
targets="$*"
[ -n "$targets" ] || targets=$(sed -n 's/^    \(fuzz_[a-z0-9_]*\)$/\1/p' tests/fuzz/CMakeLists.txt)
jobs="${FUZZ_JOBS:-$(nproc)}"

[ -f "build/$preset/CMakeCache.txt" ] || cmake --preset "$preset"
cmake --build "build/$preset" --target $targets

scratch="$(mktemp -d "${TMPDIR:-/tmp}/vorasel-fuzz-grow.XXXXXX")"

# The coverage libFuzzer reaches by running the corpus once ("cov:" of its INITED line).
coverage() {
    "build/$preset/tests/fuzz/$1" -runs=0 "$2" 2>&1 | sed -n 's/.*INITED cov: \([0-9]*\).*/\1/p'
}

grow_one() {
    local name="$1" work="$scratch/$1" corpus="tests/fuzz/corpus/${1#fuzz_}" binary
    binary="build/$preset/tests/fuzz/$name"
    mkdir -p "$work/found" "$work/findings" "$corpus"
    local before
    before=$(coverage "$name" "$corpus")
    cp -R "$corpus/." "$work/found/"
    if ! "$binary" -max_total_time="$seconds" -artifact_prefix="$work/findings/" "$work/found" \
            > "$work/run.log" 2>&1; then
        echo "FAILED: $name found a fault (log and reproducer in $work)"
        return 1
    fi
    "$binary" -merge=1 "$corpus" "$work/found" > "$work/merge.log" 2>&1
    echo "== $name: cov $before -> $(coverage "$name" "$corpus"), $(ls "$corpus" | wc -l) files," \
        "$(du -sk "$corpus" | cut -f1) KiB"
}

status=0
# shellcheck disable=SC2086
run_each "$jobs" grow_one $targets || status=1
[ "$status" -eq 0 ] && rm -rf "$scratch"
exit "$status"
