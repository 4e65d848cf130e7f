#!/usr/bin/env bash
# The exported ABI of libvorasel.so.0, kept as an abidw dump in tests/abi/.
#   scripts/abi.sh check  [BUILD_DIR]   compare the built library with the dump (abidiff)
#   scripts/abi.sh update [BUILD_DIR]   rewrite the dump from the built library
# An intended change to the ABI updates the dump in the same commit (see the README's SONAME
# policy). Exit status of check: 0 same ABI, 1 changed (abidiff's report on stdout), 77 when
# abigail-tools are not installed (ctest reports a skip), 2 bad arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-}
build=${2:-build/default}
dump=tests/abi/libvorasel.so.0.abi
lib=$build/src/libvorasel.so.0

if ! command -v abidw >/dev/null || ! command -v abidiff >/dev/null; then
    echo "abidw/abidiff not found (apt-get install abigail-tools): ABI not checked"
    exit 77
fi
[ -e "$lib" ] || { echo "no $lib: build the library first" >&2; exit 2; }

# Only what the public headers declare counts; the rest of the debug info is the library's own.
abidw_opts=(--headers-dir include/vorasel --drop-private-types --no-corpus-path --no-show-locs
            --no-comp-dir-path --drop-undefined-syms --type-id-style hash)

case $mode in
update)
    abidw "${abidw_opts[@]}" --out-file "$dump" "$lib"
    echo "wrote $dump from $lib"
    ;;
check)
    [ -f "$dump" ] || { echo "no $dump: run scripts/abi.sh update" >&2; exit 1; }
    # New exports are guarded by tests/exports; here a removed or changed function or
    # variable, or a changed public type, fails. The dump holds only the public types, so no
    # header filter is needed (and one would hide changes: the dump has no source locations).
    if abidiff --no-added-syms "$dump" "$lib"; then
        echo "ABI of $lib matches $dump"
    else
        rc=$?
        echo "ABI of $lib differs from $dump (abidiff exit $rc)."
        echo "If the change is intended: scripts/abi.sh update, and read the SONAME policy."
        exit 1
    fi
    ;;
*)
    echo "usage: scripts/abi.sh check|update [BUILD_DIR]" >&2
    exit 2
    ;;
esac
