#!/usr/bin/env bash
# The reader driver's benchmark with pcsc-lite measured in the same run: a private pcscd (its
# own mount namespace, a scratch folder over /run, the system's one untouched) with the vpcd
# reader driver on a port of its own; the benchmark's echo card connects to vpcd and the same
# 5-byte APDU goes through SCardTransmit. Without root (or pcscd, or vpcd) the peer is skipped.
#
# Usage: scripts/bench-reader-driver.sh [quiet|busy] [benchmark arguments...]
#   busy: two CPU-bound processes run beside the benchmark for the whole run.
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-quiet}"
[ $# -gt 0 ] && shift

cmake --preset default > /dev/null
cmake --build --preset default --target bench_reader_driver
bench=build/default/bench/bench_reader_driver

scratch="$(mktemp -d "${TMPDIR:-/tmp}/vorasel-bench.XXXXXX")"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2> /dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2> /dev/null || true; done
    rm -rf "$scratch"
}
trap cleanup EXIT

vpcd=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
if [ "$(id -u)" -eq 0 ] && [ -x /usr/sbin/pcscd ] && [ -f "$vpcd" ]; then
    port=$(( 36000 + $$ % 20000 ))
    mkdir -p "$scratch/run" "$scratch/conf"
    printf 'FRIENDLYNAME "Vorasel Bench PCD"\nDEVICENAME   /dev/null:%d\nLIBPATH      %s\nCHANNELID    %d\n' \
        "$port" "$vpcd" "$port" > "$scratch/conf/vpcd"
    unshare --mount --propagation private -- sh -c \
        'mount --bind "$0" /run && exec /usr/sbin/pcscd --foreground -c "$1"' \
        "$scratch/run" "$scratch/conf/vpcd" > "$scratch/pcscd.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        [ -S "$scratch/run/pcscd/pcscd.comm" ] && break
        sleep 0.05
    done
    export PCSCLITE_CSOCK_NAME="$scratch/run/pcscd/pcscd.comm"
    export VORASEL_BENCH_VPCD_PORT="$port"
else
    echo "(pcsc-lite peer skipped: needs root, pcscd and vpcd)"
fi

if [ "$mode" = busy ]; then
    for _ in 1 2; do
        sh -c 'while :; do :; done' &
        pids+=($!)
    done
fi
echo "mode: $mode, load: $(cut -d' ' -f1-3 /proc/loadavg)"
"$bench" "$@"
