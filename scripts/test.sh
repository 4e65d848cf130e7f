#!/usr/bin/env bash
# Fresh machine to passing tests: dependencies, configure, build, run the suite, with the time
# of each step and the test time of each suite.
# Usage: scripts/test.sh [preset]   (default, asan or tsan)
# With VORASEL_BUILD_BESIDE=PRESET, that preset is configured and built at the lowest CPU
# priority while this one's tests run: they mostly wait on the simulated case and leave the
# cores idle.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ci/steps.sh
preset="${1:-default}"

step "install build dependencies" scripts/install-deps.sh build
# What only the tests need is installed while the build runs.
deps_log="$(mktemp "${TMPDIR:-/tmp}/vorasel-deps.XXXXXX")"
step_beside "install test dependencies" "$deps_log" scripts/install-deps.sh test
status=0
step "$preset: configure" cmake --preset "$preset" &&
    step "$preset: build" cmake --build --preset "$preset" || status=$?
step_join "install test dependencies" "$deps_log" || status=1
rm -f "$deps_log"
[ "$status" -eq 0 ] || exit "$status"

# Most tests wait on the simulated case rather than compute: one job per core keeps both busy.
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
junit="$PWD/build/$preset/ctest-junit.xml"
beside="${VORASEL_BUILD_BESIDE:-}"
if [ -n "$beside" ]; then
    beside_log="$PWD/build/$beside-build.log"
    mkdir -p build
    step_beside "$beside: configure and build" "$beside_log" \
        sh -c "cmake --preset '$beside' && cmake --build --preset '$beside'"
fi
step "$preset: tests" ctest --preset "$preset" --output-junit "$junit" || status=$?
[ -f "$junit" ] && python3 scripts/ci/suite-times.py "build/$preset" "$junit" || true
if [ -n "$beside" ]; then
    step_join "$beside: configure and build" "$beside_log" || status=1
fi
[ "${VORASEL_STEPS_NESTED:-}" ] || steps_report
exit "$status"
