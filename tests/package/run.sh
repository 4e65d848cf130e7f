#!/usr/bin/env bash
# The package test: builds the Debian packages from BUILD_DIR, installs them with apt-get, runs
# the daemon as its service unit says (through systemd when systemd runs the machine), starts a
# pcscd on the installed reader entry, and checks that pcsc_scan, opensc-tool and pyscard reach
# the case through the installed files alone; then the man page, the ABI and the completion.
# Everything installed or created is removed at the end: the machine is left as found.
# Usage: tests/package/run.sh [BUILD_DIR]   (root; default build/default)
set -euo pipefail
cd "$(dirname "$0")/../.."
src=$PWD
build=$(realpath "${1:-build/default}")
packages=(libvorasel0 libvorasel-dev vorasel-tools libifd-vorasel)
socket=/run/vorasel/accessoryd.sock
python=/usr/bin/python3

[ "$(id -u)" -eq 0 ] || { echo "package test: needs root (apt-get, a service user)" >&2; exit 1; }
for p in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        echo "package test: $p is installed already; remove it first" >&2
        exit 1
    fi
done

work=$(mktemp -d)
before_pkgs=$work/before.txt
dpkg-query -W -f='${Package}\n' | sort >"$before_pkgs"
user_existed=0; id vorasel >/dev/null 2>&1 && user_existed=1
group_existed=0; getent group vorasel >/dev/null && group_existed=1
run_existed=0; [ -e /run/vorasel ] && run_existed=1
pcscd_run_existed=0; [ -e /run/pcscd ] && pcscd_run_existed=1
systemd_up=0; [ -d /run/systemd/system ] && systemd_up=1
daemon_pid="" pcscd_pid=""
failures=0

cleanup() {
    set +e
    [ -n "$pcscd_pid" ] && { kill -INT "$pcscd_pid"; wait_gone "$pcscd_pid"; }
    [ -n "$daemon_pid" ] && { kill -TERM "$daemon_pid"; wait_gone "$daemon_pid"; }
    if [ $systemd_up -eq 1 ]; then
        systemctl stop vorasel-accessoryd.service vorasel-accessoryd.socket >/dev/null 2>&1
    fi
    # Whatever apt-get brought in with ours goes too.
    local added
    added=$(dpkg-query -W -f='${Package}\n' | sort | comm -13 "$before_pkgs" -)
    # shellcheck disable=SC2086
    [ -n "$added" ] && DEBIAN_FRONTEND=noninteractive apt-get purge -y -q $added >"$work/purge.log" 2>&1
    [ $user_existed -eq 0 ] && id vorasel >/dev/null 2>&1 && userdel vorasel
    [ $group_existed -eq 0 ] && getent group vorasel >/dev/null && groupdel vorasel
    [ $run_existed -eq 0 ] && rm -rf /run/vorasel
    [ $pcscd_run_existed -eq 0 ] && rmdir /run/pcscd 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

wait_gone() {  # wait_gone PID: up to 5 s, then SIGKILL
    for _ in $(seq 1 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.05; done
    kill -KILL "$1" 2>/dev/null; return 0
}

check() {  # check NAME COMMAND...: runs it, reports, counts failures
    local name=$1 out rc=0
    shift
    out=$("$@" 2>&1) || rc=$?
    if [ $rc -eq 0 ]; then
        echo "ok   $name"
    else
        echo "FAIL $name (exit $rc)"
        printf '%s\n' "$out" | sed 's/^/     /' | tail -30
        failures=$((failures + 1))
    fi
}

echo "== build the packages"
scripts/package.sh "$build" "$work/debs" | tee "$work/package.log"

echo "== install them"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    "$work"/debs/*.deb >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
for p in "${packages[@]}"; do
    printf '  %-16s %s\n' "$p" "$(dpkg-query -W -f='${Version}, ${Installed-Size} KiB installed' "$p")"
done

unit=/lib/systemd/system/vorasel-accessoryd.service
check "the service user and /run/vorasel exist" sh -c \
    "id vorasel && [ \"\$(stat -c %U /run/vorasel)\" = vorasel ]"
check "systemd-analyze verify" systemd-analyze verify "$unit" "${unit%.service}.socket"
check "systemd-analyze security: OK or better" sh -c \
    "systemd-analyze security --offline=yes '$unit' | tee /dev/stderr | grep -E 'Overall exposure level.*(SAFE|OK)'"

echo "== start the daemon as the service does"
if [ $systemd_up -eq 1 ]; then
    systemctl start vorasel-accessoryd.socket
else
    exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
    user=$(sed -n 's/^User=//p' "$unit")
    group=$(sed -n 's/^Group=//p' "$unit")
    umask_value=$(sed -n 's/^UMask=//p' "$unit")
    # shellcheck disable=SC2086
    (umask "$umask_value" && exec setpriv --reuid="$user" --regid="$group" --clear-groups \
        --no-new-privs $exec_start) >"$work/daemon.log" 2>&1 &
    daemon_pid=$!
fi
for _ in $(seq 1 200); do [ -S "$socket" ] && break; sleep 0.05; done
[ -S "$socket" ] || { echo "no socket at $socket"; cat "$work/daemon.log" 2>/dev/null; exit 1; }
echo "  listening at $socket"

echo "== pcscd on the installed reader entry"
# A pcscd of our own: its /run/pcscd is a scratch folder (a system pcscd is left alone), and it
# reads only the installed entry.
mkdir -p "$work/pcscd" /run/pcscd
unshare --mount --propagation private -- \
    sh -c 'mount --bind "$0" /run/pcscd && exec /usr/sbin/pcscd --foreground -c "$1"' \
    "$work/pcscd" /etc/reader.conf.d/vorasel >"$work/pcscd.log" 2>&1 &
pcscd_pid=$!
export PCSCLITE_CSOCK_NAME=$work/pcscd/pcscd.comm
for _ in $(seq 1 200); do [ -S "$PCSCLITE_CSOCK_NAME" ] && break; sleep 0.05; done
[ -S "$PCSCLITE_CSOCK_NAME" ] || { echo "pcscd did not start"; cat "$work/pcscd.log"; exit 1; }

reader="Halvane Smart Card Reader"
check "pcsc_scan shows the case and its card" sh -c \
    "timeout 20 pcsc_scan -t 3 -n 2>&1 | tee /dev/stderr | grep -q 'Card inserted' && timeout 20 pcsc_scan -r 2>&1 | grep -q '$reader'"
check "opensc-tool --atr" sh -c \
    "timeout 20 opensc-tool --reader 0 --atr | tee /dev/stderr | grep -Eq '^([0-9a-f]{2}:)+[0-9a-f]{2}$'"
check "pyscard: readers, ATR, SELECT" timeout 20 "$python" - "$reader" <<'PY'
import sys
from smartcard.System import readers
from smartcard.util import toHexString
found = [r for r in readers() if str(r).startswith(sys.argv[1])]
assert found, "no reader: %s" % readers()
connection = found[0].createConnection()
connection.connect()
atr = connection.getATR()
assert atr and atr[0] in (0x3B, 0x3F), toHexString(atr)
data, sw1, sw2 = connection.transmit([0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00])
print(found[0], toHexString(atr), "SELECT MF: SW %02X%02X" % (sw1, sw2))
assert (sw1, sw2) == (0x90, 0x00), "SW %02X%02X" % (sw1, sw2)
PY
check "the installed vorasel reaches the service's case" sh -c \
    "VORASEL_ACCESSORYD_SOCKET=$socket vorasel manager capabilities"

echo "== the installed documentation, ABI and completion"
check "man vorasel renders" sh -c \
    "MANWIDTH=80 man vorasel 2>&1 | grep -q '^SYNOPSIS' && MANWIDTH=80 man 8 vorasel-accessoryd | grep -q '^EXIT STATUS'"
check "vorasel --version" sh -c "vorasel --version | grep -q 'firmware image format 1'"
check "abidiff: the packaged library against the dump" \
    abidiff --no-added-syms tests/abi/libvorasel.so.0.abi /usr/lib/libvorasel.so.0
check "abidiff: the packaged build tree's library (with its debug info)" \
    scripts/abi.sh check "$build"
check "bash completes 'vorasel fi<Tab>' with firmware" bash -c '
    . /usr/share/bash-completion/bash_completion
    _completion_loader vorasel
    COMP_WORDS=(vorasel fi); COMP_CWORD=1; COMP_LINE="vorasel fi"; COMP_POINT=${#COMP_LINE}
    _vorasel vorasel fi vorasel
    printf "%s\n" "${COMPREPLY[@]}" | tee /dev/stderr | grep -qx firmware'

if [ $failures -eq 0 ]; then
    echo "package test passed"
else
    echo "package test: $failures check(s) failed; pcscd's log:"
    tail -30 "$work/pcscd.log"
    exit 1
fi
