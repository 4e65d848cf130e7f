#!/usr/bin/env bash
# Unmodified PC/SC clients against the reader module inside a real pcscd: vorasel-accessoryd
# serves the case, `vorasel pcscd-config` writes the reader entry, a private pcscd (its own
# mount namespace; the system's is untouched) loads the module, then pcsc_scan, scriptor,
# opensc-tool, pyscard and a client waiting in SCardGetStatusChange, and last Debian's vicc as
# the card behind the daemon, its card coming and going with it; last, pcscd ends on SIGTERM
# (no IFDHCloseChannel then) and must exit cleanly. Every process started here is stopped by
# its pid.
#
# Needs root (the mount namespace) and pcscd, pcsc-tools, opensc, python3-pyscard and
# vsmartcard-vpicc: without them it fails, it does not skip.
#
# Usage: run_clients.sh ACCESSORYD VORASEL_TOOL MODULE PRIVATE_PCSCD_SCRIPT
# PCSCD_PRELOAD, when set, is preloaded into pcscd (a sanitizer runtime for a sanitized module).
# VORASEL_EMULATOR_ROUNDS (3 by default): how often vicc leaves and comes back.
set -euo pipefail

accessoryd=$1 tool=$2 module=$3 private_pcscd=$4
here=$(cd "$(dirname "$0")" && pwd)
reader="Halvane Smart Card Reader 00 00"
python=/usr/bin/python3

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "a private pcscd needs root (mount namespace)"
for program in /usr/sbin/pcscd /usr/bin/pcsc_scan /usr/bin/scriptor /usr/bin/opensc-tool \
               /usr/bin/vicc "$python"; do
    [ -x "$program" ] || fail "$program is missing (scripts/install-deps.sh installs it)"
done
"$python" -c 'import smartcard' 2>/dev/null || fail "python3-pyscard is missing"

work=$(mktemp -d /tmp/vorasel-clients.XXXXXX)
daemon_pid="" vicc_pid=""
stop_all() {
    "$private_pcscd" stop "$work/run" 2>/dev/null || true
    for pid in $vicc_pid $daemon_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
finish() {
    status=$?
    stop_all
    if [ $status -ne 0 ] && [ -f "$work/run/pcscd.log" ]; then
        echo "--- pcscd's log" >&2
        grep -v -e winscard_svc -e winscard_msg -e "winscard.c:2[0-9][0-9]:" "$work/run/pcscd.log" | tail -n 60 >&2
    fi
    rm -rf "$work"
    exit $status
}
trap finish EXIT

# Polls `condition` every 10 ms for up to 10 s.
wait_for() {
    for _ in $(seq 1000); do
        if eval "$1"; then return 0; fi
        sleep 0.01
    done
    return 1
}

echo "== vorasel-accessoryd with a T=1 card and a vpcd port for vicc"
"$accessoryd" --socket "$work/case.sock" --card t1 --vpcd-port 0 2>"$work/daemon.log" &
daemon_pid=$!
wait_for '[ -S "$work/case.sock" ] && grep -q "vpcd bridge on" "$work/daemon.log"' ||
    fail "vorasel-accessoryd did not start: $(cat "$work/daemon.log")"
vpcd_port=$(sed -n 's/.*vpcd bridge on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/daemon.log")

echo "== vorasel pcscd-config"
mkdir -p "$work/conf"
"$tool" pcscd-config --socket "$work/case.sock" --libpath "$module" | tee "$work/conf/vorasel"

echo "== private pcscd"
# pcscd with its debug log (printed when a check fails), and the preload when one is given:
# its reports then land in that log. Leaks are pcscd's own business at its exit; the module's
# are checked by its in-process tests.
preload=""
if [ -n "${PCSCD_PRELOAD:-}" ]; then
    preload="LD_PRELOAD=$PCSCD_PRELOAD ASAN_OPTIONS=\${ASAN_OPTIONS:-}:detect_leaks=0 "
    echo "(with $PCSCD_PRELOAD)"
fi
# The wrapper passes SIGINT and SIGTERM on and keeps pcscd's exit status, so the end of the
# test can tell a clean exit from a crash in the module's code at exit. A trapped signal
# makes `wait` return 128 + its number at once; the shell may reap pcscd meanwhile, so only a
# wait that no trap interrupted carries pcscd's own status.
cat >"$work/pcscd" <<WRAPPER
#!/bin/sh
${preload}/usr/sbin/pcscd -d "\$@" &
child=\$!
trap 'interrupted=1; kill -TERM \$child' TERM
trap 'interrupted=1; kill -INT \$child' INT
while :; do
    interrupted=0
    wait \$child
    status=\$?
    [ \$interrupted = 1 ] || break
done
echo \$status >"$work/pcscd.status"
WRAPPER
chmod +x "$work/pcscd"
pcscd_program=$work/pcscd
socket_line=$(PCSCD=$pcscd_program "$private_pcscd" start "$work/conf" "$work/run") ||
    fail "pcscd did not start"
export "${socket_line?}"
atr=$("$python" "$here/wait_for_card.py" "$reader") || fail "pcscd never saw the card"

check() {  # check NAME PATTERN OUTPUT
    printf '%s\n' "$3" | sed "s/^/    /"
    # Not piped: grep -q stops reading at the first match, and under pipefail the writer's
    # SIGPIPE would fail a check that matched.
    grep -q -e "$2" <<<"$3" || fail "$1: missing '$2'"
}

echo "== pcsc_scan"
out=$(timeout 20 pcsc_scan -c </dev/null 2>&1)
check pcsc_scan "Reader 0: $reader" "$out"
check pcsc_scan "ATR: $atr" "$out"

echo "== scriptor: SELECT"
check scriptor "< 90 00 : Normal processing" \
    "$(echo "00 A4 04 0C 08 F0 56 4F 52 41 53 45 4C" | timeout 20 scriptor -r "$reader" 2>&1)"

echo "== opensc-tool --atr"
opensc_atr=$(echo "$atr" | tr 'A-F ' 'a-f:')
check opensc-tool "$opensc_atr" "$(timeout 20 opensc-tool --atr 2>&1)"

echo "== pyscard: SELECT, ECHO, extended ECHO"
out=$(timeout 60 "$python" "$here/pyscard_apdus.py" "$reader" 2>&1) || {
    printf '%s\n' "$out"
    fail "pyscard"
}
check pyscard "ECHO of 65535 bytes .* as sent" "$out"

echo "== SCardGetStatusChange: removal and insertion through the daemon"
out=$(timeout 60 "$python" "$here/status_change.py" "$reader" "$work/case.sock" 3 2>&1) || {
    printf '%s\n' "$out"
    fail "status change"
}
check "status change" "insert t1 seen" "$out"

echo "== vicc behind the daemon"
mkdir -p "$work/python"
ln -s /usr/lib/python3/dist-packages/Cryptodome "$work/python/Crypto"
PYTHONPATH=/usr/lib/python3/site-packages/virtualsmartcard:$work/python \
    "$python" /usr/bin/vicc -t iso7816 -H 127.0.0.1 -P "$vpcd_port" >"$work/vicc.log" 2>&1 &
vicc_pid=$!
wait_for '"$python" "$here/case_control.py" connected "$vpcd_port"' ||
    fail "vicc did not connect: $(cat "$work/vicc.log")"
"$python" "$here/case_control.py" "$work/case.sock" insert vpcd >/dev/null
# The card went out and vicc's came in: wait until pcscd has the new one.
vicc_atr=$("$python" "$here/wait_for_card.py" "$reader" "$atr") ||
    fail "pcscd never saw vicc's card"
check "vicc through scriptor" "< 90 00 : Normal processing" \
    "$(printf '00 A4 00 0C 02 3F 00\n00 84 00 00 08\n' | timeout 30 scriptor -r "$reader" 2>&1)"
check "vicc's ATR" "$(echo "$vicc_atr" | tr 'A-F ' 'a-f:')" "$(timeout 20 opensc-tool --atr 2>&1)"

echo "== vicc leaves and comes back: its card with it"
rounds=${VORASEL_EMULATOR_ROUNDS:-3}
out=$(PYTHONPATH=/usr/lib/python3/site-packages/virtualsmartcard:$work/python \
    timeout $((60 + 20 * rounds)) "$python" "$here/emulator_presence.py" "$reader" \
    "$work/case.sock" "$vpcd_port" "$vicc_pid" "$rounds" \
    2>&1) || {
    printf '%s\n' "$out"
    fail "vicc's card did not follow vicc"
}
check "vicc's card follows vicc" "vicc exits -> EMPTY" "$out"
vicc_pid=""  # stopped by the check, which ends the vicc processes it started

echo "== SIGTERM: pcscd exits (without closing the reader) cleanly, nothing of the module crashes"
wrapper_pid=$(cat "$work/run/pcscd.pid")
kill -TERM "$wrapper_pid"
wait_for '[ -s "$work/pcscd.status" ]' || fail "pcscd did not exit on SIGTERM"
status=$(cat "$work/pcscd.status")
echo "    pcscd exited with status $status"
[ "$status" -eq 0 ] || fail "pcscd exited with status $status after SIGTERM"

stop_all
if grep -q "Sanitizer" "$work/run/pcscd.log"; then
    cat "$work/run/pcscd.log" >&2
    fail "the sanitizer reported from pcscd"
fi
echo "PASS: every client reached the case through pcscd"
