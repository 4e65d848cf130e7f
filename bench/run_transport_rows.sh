#!/usr/bin/env bash
# The out-of-process path in three rows, one run, the same PC/SC client (bench/pcsc_client) and
# the same APDUs, with the in-process path beside them:
#   0. libvorasel with the simulated case embedded in the client's process;
#   1. libvorasel in the client's process, its case in vorasel-accessoryd (socket transport);
#   2. pcsc-lite's pcscd loading the Vorasel reader module, the case in vorasel-accessoryd;
#   3. pcsc-lite's pcscd with vsmartcard's vpcd and an echo card (the peer).
# Median and p99 of each, the ratios against row 3 (row 3 time / row time: above 1 is faster
# than the peer), and row 1's heap allocations per APDU. Rounds alternate the rows so that all
# see the same load; the summary takes each row's best round.
#
# Needs root (private pcscd). Usage: bench/run_transport_rows.sh [ROUNDS] [--short N]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-2}
[ $# -gt 0 ] && shift
args=("$@")
[ ${#args[@]} -gt 0 ] || args=(--short 5000)
args+=(--events 0)

[ "$(id -u)" -eq 0 ] || { echo "needs root (private pcscd in a mount namespace)" >&2; exit 1; }
build=${BUILD:-build/default}
cmake --build "$build" --target pcscd_driver_client pcsc_vorasel_client vorasel-accessoryd \
    vorasel-tool ifdvorasel >/dev/null

work=$(mktemp -d /tmp/vorasel-transport-bench.XXXXXX)
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

mkdir -p "$work/vpcd" "$work/vorasel"
port=$(bench/vpcd-conf.sh "$work/vpcd/vpcd")
"$build/tools/vorasel" pcscd-config --socket "$work/case.sock" >"$work/vorasel/vorasel"
"$build/tools/vorasel-accessoryd" --socket "$work/case.sock" 2>"$work/daemon.log" &
daemon_pid=$!
for _ in $(seq 500); do [ -S "$work/case.sock" ] && break; sleep 0.01; done

through_pcscd() {  # through_pcscd CONF OUTPUT CLIENT_ARGS...
    local conf=$1 out=$2
    shift 2
    export "$(scripts/private-pcscd.sh start "$work/$conf" "$work/run")"
    "$build/bench/pcscd_driver/pcscd_driver_client" "$@" >>"$work/$out.json"
    scripts/private-pcscd.sh stop "$work/run"
    unset PCSCLITE_CSOCK_NAME
}

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg); pcscd $(/usr/sbin/pcscd --version | \
    head -1 | awk '{print $NF}'); ${rounds} rounds, ${args[*]}"
for round in $(seq "$rounds"); do
    echo "== round $round"
    "$build/bench/pcsc_vorasel_client" "${args[@]}" >>"$work/row0.json"
    "$build/bench/pcsc_vorasel_client" --daemon "$work/case.sock" "${args[@]}" >>"$work/row1.json"
    through_pcscd vorasel row2 vorasel "$work/case.sock" "${args[@]}"
    through_pcscd vpcd row3 vpcd "$port" "${args[@]}"
done

python3 - "$work" <<'PY'
import json, sys
work = sys.argv[1]
labels = {"row0": "0. libvorasel, case in process",
          "row1": "1. libvorasel -> vorasel-accessoryd",
          "row2": "2. pcscd + Vorasel module -> daemon",
          "row3": "3. pcscd + vpcd + echo card (peer)"}
def best(path):
    rows = {}
    for line in open(path):
        if not line.startswith("{"): continue
        e = json.loads(line)
        if not e.get("samples"): continue
        if e["name"] not in rows or e["median_us"] < rows[e["name"]]["median_us"]:
            rows[e["name"]] = e
    return rows
data = {k: best(f"{work}/{k}.json") for k in labels}
for name in ("transmit_t1_short_echo", "transmit_t1_260_byte_command", "transmit_t0_short_echo"):
    peer = data["row3"].get(name)
    print(f"\n{name} (best round)")
    print(f"{'row':40} {'median us':>10} {'p99 us':>10} {'x row 3 (median)':>17} {'x row 3 (p99)':>14} {'allocs/APDU':>12}")
    for key, label in labels.items():
        e = data[key].get(name)
        if not e:
            print(f"{label:40} {'-':>10}")
            continue
        rm = peer["median_us"] / e["median_us"] if peer else float("nan")
        rp = peer["p99_us"] / e["p99_us"] if peer else float("nan")
        allocs = e.get("allocs_per_apdu")
        print(f"{label:40} {e['median_us']:10.1f} {e['p99_us']:10.1f} {rm:17.2f} {rp:14.2f} "
              f"{'-' if allocs is None else format(allocs, '.3f'):>12}")
PY
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
