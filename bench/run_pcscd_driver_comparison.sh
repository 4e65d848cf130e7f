#!/usr/bin/env bash
# The Vorasel reader module beside vsmartcard's vpcd, both inside a real pcscd, measured by the
# same PC/SC client (bench/pcsc_client) in the same run: short, 260-byte and extended APDUs
# through SCardTransmit, and card insertion and removal seen by a client waiting in
# SCardGetStatusChange. vpcd gets an echo card at its port; the Vorasel reader gets its cards
# from vorasel-accessoryd. A third pcscd has the module with the simulated case inside it
# (no daemon between, no card events): what the reader costs without the daemon's socket hop.
# Each pcscd is a private one (its own mount namespace; the system's is untouched). Rounds
# alternate the readers, so all see the same load.
#
# Needs root. Usage: bench/run_pcscd_driver_comparison.sh [ROUNDS] [client options...]
#   e.g. bench/run_pcscd_driver_comparison.sh 2 --short 5000 --events 100
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-1}
[ $# -gt 0 ] && shift

[ "$(id -u)" -eq 0 ] || { echo "needs root (private pcscd in a mount namespace)" >&2; exit 1; }
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target pcscd_driver_client vorasel-accessoryd vorasel-tool \
    ifdvorasel
client=build/default/bench/pcscd_driver/pcscd_driver_client

work=$(mktemp -d /tmp/vorasel-pcscd-bench.XXXXXX)
daemon_pid=""
cleanup() {
    scripts/private-pcscd.sh stop "$work/run" 2>/dev/null || true
    if [ -n "$daemon_pid" ]; then
        kill "$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/vpcd" "$work/vorasel" "$work/embedded"
port=$(bench/vpcd-conf.sh "$work/vpcd/vpcd")
build/default/tools/vorasel pcscd-config --socket "$work/case.sock" >"$work/vorasel/vorasel"
sed -e 's|^DEVICENAME .*|DEVICENAME   vorasel-simulated:dual|' \
    -e 's|^FRIENDLYNAME .*|FRIENDLYNAME "Embedded"|' "$work/vorasel/vorasel" >"$work/embedded/embedded"
build/default/tools/vorasel-accessoryd --socket "$work/case.sock" 2>"$work/daemon.log" &
daemon_pid=$!

measure() {  # measure CONF OUTPUT CLIENT_ARGS...
    local conf=$1 out=$2
    shift 2
    export "$(scripts/private-pcscd.sh start "$work/$conf" "$work/run")"
    "$client" "$@" | tee -a "$work/$out.json"
    scripts/private-pcscd.sh stop "$work/run"
    unset PCSCLITE_CSOCK_NAME
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg); pcscd $(/usr/sbin/pcscd --version | \
    head -1 | awk '{print $NF}')"
for round in $(seq "$rounds"); do
    echo "== round $round: pcscd with vpcd on port $port and an echo card"
    measure vpcd vpcd vpcd "$port" "$@"
    echo "== round $round: pcscd with the Vorasel reader module, vorasel-accessoryd's cards"
    measure vorasel vorasel vorasel "$work/case.sock" "$@"
    echo "== round $round: pcscd with the Vorasel reader module, the simulated case inside pcscd"
    measure embedded embedded embedded "Embedded 00 00" "$@"
done
echo "== side by side (ratio: vpcd time / Vorasel time; above 1 means the Vorasel reader is sooner)"
python3 bench/compare.py "$work/vpcd.json" "$work/vorasel.json" vpcd vorasel
echo "== the same with the simulated case inside pcscd"
python3 bench/compare.py "$work/vpcd.json" "$work/embedded.json" vpcd vorasel
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
