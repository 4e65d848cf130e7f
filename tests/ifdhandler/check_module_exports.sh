#!/bin/sh
# The reader module exports pcscd's reader-driver functions and nothing else.
# Usage: check_module_exports.sh MODULE
set -eu
expected="IFDHCloseChannel
IFDHControl
IFDHCreateChannel
IFDHCreateChannelByName
IFDHGetCapabilities
IFDHICCPresence
IFDHPowerICC
IFDHSetCapabilities
IFDHSetProtocolParameters
IFDHTransmitToICC"
actual=$(nm -D --defined-only "$1" | awk '{print $NF}' | LC_ALL=C sort -u)
if [ "$actual" != "$expected" ]; then
    echo "$1 exports differ ('-' missing, '+' not allowed):" >&2
    printf '%s\n' "$expected" >"${TMPDIR:-/tmp}/ifdh-exports-expected.$$"
    printf '%s\n' "$actual" | diff -u "${TMPDIR:-/tmp}/ifdh-exports-expected.$$" - >&2 || true
    rm -f "${TMPDIR:-/tmp}/ifdh-exports-expected.$$"
    exit 1
fi
echo "$(printf '%s\n' "$actual" | wc -l) exported names: the IFDH* functions only"
