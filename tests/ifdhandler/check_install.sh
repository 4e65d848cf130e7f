#!/bin/sh
# `cmake --install` puts the module and an example reader entry naming it where pcscd reads
# entries: /etc/reader.conf.d under the prefix /usr, the prefix's etc/ otherwise.
# Usage: check_install.sh BUILD_DIR
set -eu
build=$1
stage=$(mktemp -d "${TMPDIR:-/tmp}/vorasel-install.XXXXXX")
trap 'rm -rf "$stage"' EXIT

check() {  # check PREFIX ENTRY_DIR
    DESTDIR="$stage/$1" cmake --install "$build" --component ifdhandler --prefix "$1" >/dev/null
    entry="$stage/$1$2/reader.conf.d/vorasel"
    [ -f "$entry" ] || { echo "prefix $1: no entry at $2/reader.conf.d" >&2; exit 1; }
    module=$(sed -n 's/^LIBPATH *//p' "$entry")
    case $module in
    "$1"/lib*/pcsc/drivers/serial/libifdvorasel.so) ;;
    *) echo "prefix $1: LIBPATH '$module'" >&2; exit 1 ;;
    esac
    [ -f "$stage/$1$module" ] || { echo "prefix $1: no module at $module" >&2; exit 1; }
    grep -q '^DEVICENAME   vorasel-accessoryd:/run/vorasel/accessoryd.sock$' "$entry" ||
        { echo "prefix $1: DEVICENAME" >&2; cat "$entry" >&2; exit 1; }
    echo "prefix $1: $2/reader.conf.d/vorasel names $module"
}
check /usr /etc
check /opt/vorasel /opt/vorasel/etc
