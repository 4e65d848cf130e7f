#!/usr/bin/env bash
# Fresh machine to passing tests: dependencies, configure, build, run the suite.
# Usage: scripts/test.sh [preset]   (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
