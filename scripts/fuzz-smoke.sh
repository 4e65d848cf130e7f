#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target for a while (30 s each by default) on a
# scratch copy of its committed corpus, so the corpus itself is never changed. Fails on the
# first finding; the reproducer is left in the scratch folder, whose path is printed.
# Usage: scripts/fuzz-smoke.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

# Only the fuzz targets (and what they link): the rest of the tree is built by the other presets.
targets=$(sed -n 's/^    \(fuzz_[a-z0-9_]*\)$/\1/p' tests/fuzz/CMakeLists.txt)
cmake --preset fuzz
cmake --build --preset fuzz --target $targets

scratch="$(mktemp -d "${TMPDIR:-/tmp}/vorasel-fuzz.XXXXXX")"
status=0
for target in build/fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name="$(basename "$target")"
    corpus="tests/fuzz/corpus/${name#fuzz_}"
    work="$scratch/$name"
    mkdir -p "$work/corpus" "$work/findings"
    [ -d "$corpus" ] && cp -R "$corpus/." "$work/corpus/"
    echo "== $name: ${seconds} s"
    if ! "$target" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$work/findings/" "$work/corpus" > "$work/log" 2>&1; then
        echo "FAILED: $name (log and reproducer in $work)"
        tail -n 40 "$work/log"
        status=1
        break
    fi
    grep -E "^stat::number_of_executed_units|^#[0-9]+.*DONE" "$work/log" | tail -n 2 || true
done
[ "$status" -eq 0 ] && rm -rf "$scratch"
exit "$status"
