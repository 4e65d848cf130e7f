#!/usr/bin/env bash
# Fresh machine to the main job: dependencies, build, then the `vorasel` tool against the
# simulated Vorasel case embedded in the process. Extra arguments go to `vorasel demo`
# (e.g. --card t1-crc, --apdus 1000, --log verbose).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default
cmake --build --preset default --target vorasel-tool
build/default/tools/vorasel demo "$@"
