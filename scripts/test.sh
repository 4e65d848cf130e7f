#!/usr/bin/env bash
# Fresh machine to passing tests: dependencies, configure, build, run the suite, with the time
# of each step and the test time of each suite.
# Usage: scripts/test.sh [preset]   (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ci/steps.sh
preset="${1:-default}"

step "install dependencies" scripts/install-deps.sh
step "$preset: configure" cmake --preset "$preset"
step "$preset: build" cmake --build --preset "$preset"

# Most tests wait on the simulated case rather than compute: one job per core keeps both busy.
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
junit="$PWD/build/$preset/ctest-junit.xml"
status=0
step "$preset: tests" ctest --preset "$preset" --output-junit "$junit" || status=$?
[ -f "$junit" ] && python3 scripts/ci/suite-times.py "build/$preset" "$junit" || true
[ "${VORASEL_STEPS_NESTED:-}" ] || steps_report
exit "$status"
