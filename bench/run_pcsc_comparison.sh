#!/usr/bin/env bash
# libvorasel's PC/SC interface beside pcsc-lite, in one run: the same client (bench/pcsc_client)
# against a private pcscd with vsmartcard's vpcd reader and an echo card of ours, then against
# libvorasel with the simulated case in process; the ratios; then bench_pcsc's own figures
# (transports, allocations, status-change latency from the reader's slot change).
# Needs root for the private pcscd (a mount namespace). Usage: bench/run_pcsc_comparison.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target bench_pcsc pcsc_vorasel_client pcsc_peer_client \
    vorasel-accessoryd

work=$(mktemp -d)
trap 'scripts/private-pcscd.sh stop "$work/run" || true; rm -rf "$work"' EXIT
# vpcd listens on the port and the next one (two readers); pick a free pair.
port=$(python3 -c '
import socket
while True:
    a = socket.socket(); a.bind(("127.0.0.1", 0)); p = a.getsockname()[1]
    b = socket.socket()
    try:
        b.bind(("127.0.0.1", p + 1)); print(p); break
    except OSError:
        pass
    finally:
        a.close(); b.close()')
mkdir -p "$work/conf"
cat >"$work/conf/vpcd" <<CONF
FRIENDLYNAME "Virtual PCD"
DEVICENAME   /dev/null:$port
LIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so
CHANNELID    $port
CONF

echo "load average: $(cat /proc/loadavg)"
echo "== pcsc-lite: pcscd $(/usr/sbin/pcscd --version 2>/dev/null | head -1 | awk '{print $NF}'), vpcd on port $port, echo card"
export "$(scripts/private-pcscd.sh start "$work/conf" "$work/run")"
build/default/bench/pcsc_peer_client "$port" | tee "$work/peer.json"
scripts/private-pcscd.sh stop "$work/run"
unset PCSCLITE_CSOCK_NAME

echo "== libvorasel: simulated case in process"
build/default/bench/pcsc_vorasel_client | tee "$work/ours.json"

echo "== side by side (ratio: pcsc-lite time / libvorasel time)"
python3 bench/compare_pcsc.py "$work/peer.json" "$work/ours.json"

echo "== bench_pcsc"
build/default/bench/bench_pcsc
echo "load average: $(cat /proc/loadavg)"
