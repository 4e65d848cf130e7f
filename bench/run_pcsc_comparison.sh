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
mkdir -p "$work/conf"
port=$(bench/vpcd-conf.sh "$work/conf/vpcd")

echo "load average: $(cat /proc/loadavg)"
echo "== pcsc-lite: pcscd $(/usr/sbin/pcscd --version 2>/dev/null | head -1 | awk '{print $NF}'), vpcd on port $port, echo card"
export "$(scripts/private-pcscd.sh start "$work/conf" "$work/run")"
build/default/bench/pcsc_peer_client "$port" | tee "$work/peer.json"
scripts/private-pcscd.sh stop "$work/run"
unset PCSCLITE_CSOCK_NAME

echo "== libvorasel: simulated case in process"
build/default/bench/pcsc_vorasel_client | tee "$work/ours.json"

echo "== side by side (ratio: pcsc-lite time / libvorasel time)"
python3 bench/compare.py "$work/peer.json" "$work/ours.json" pcsc-lite libvorasel

echo "== bench_pcsc"
build/default/bench/bench_pcsc
echo "load average: $(cat /proc/loadavg)"
