#!/bin/sh
# Compares the dynamic symbols libvorasel.so defines with the list of names that must leave it.
# Usage: check_exports.sh LIBRARY EXPECTED_LIST
set -eu
lib=$1
expected=$2
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
nm -D --defined-only -C "$lib" | cut -d' ' -f3- | LC_ALL=C sort -u >"$actual"
if ! LC_ALL=C sort -u "$expected" | diff -u - "$actual"; then
    echo "libvorasel.so exports differ from $expected ('-' missing, '+' not in the list)" >&2
    exit 1
fi
echo "$(wc -l <"$actual") exported names, as listed"
