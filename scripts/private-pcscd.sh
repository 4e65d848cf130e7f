#!/usr/bin/env bash
# A pcscd of our own, invisible to the system's: it runs in a mount namespace of its own with a
# scratch folder bound over /run, and reads its readers from a reader.conf.d folder we give.
# Clients reach it with PCSCLITE_CSOCK_NAME (printed by `start` and `socket`).
#
#   scripts/private-pcscd.sh start CONFDIR RUNDIR   starts it, waits until it listens
#   scripts/private-pcscd.sh socket RUNDIR          the client socket path
#   scripts/private-pcscd.sh stop RUNDIR            stops it (SIGINT: drivers are closed)
#
# Needs root (mount namespaces). Other sockets a test needs must live outside /run, which the
# namespace hides from pcscd. pcscd reads CONFDIR only at start-up.
set -euo pipefail

pcscd=${PCSCD:-/usr/sbin/pcscd}
command=${1:-}

socket_of() { echo "$1/pcscd/pcscd.comm"; }

case "$command" in
start)
    confdir=$(realpath "$2")
    rundir=$(mkdir -p "$3" && realpath "$3")
    mkdir -p "$rundir/pcscd"
    # A socket left by an earlier pcscd in this folder would pass for the new one's.
    rm -f "$(socket_of "$rundir")"
    unshare --mount --propagation private -- \
        sh -c 'mount --bind "$0" /run && exec "$1" --foreground -c "$2"' \
        "$rundir" "$pcscd" "$confdir" >"$rundir/pcscd.log" 2>&1 &
    echo $! >"$rundir/pcscd.pid"
    socket=$(socket_of "$rundir")
    for _ in $(seq 1 500); do
        if [ -S "$socket" ]; then
            echo "PCSCLITE_CSOCK_NAME=$socket"
            exit 0
        fi
        if ! kill -0 "$(cat "$rundir/pcscd.pid")" 2>/dev/null; then
            echo "private-pcscd: pcscd exited; its log:" >&2
            cat "$rundir/pcscd.log" >&2
            exit 1
        fi
        sleep 0.01
    done
    echo "private-pcscd: no socket at $socket after 5 s" >&2
    exit 1
    ;;
socket)
    socket_of "$(realpath "$2")"
    ;;
stop)
    rundir=$(realpath "$2")
    [ -f "$rundir/pcscd.pid" ] || exit 0
    pid=$(cat "$rundir/pcscd.pid")
    kill -INT "$pid" 2>/dev/null || true
    for _ in $(seq 1 500); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.01
    done
    kill -KILL "$pid" 2>/dev/null || true
    rm -f "$rundir/pcscd.pid"
    ;;
*)
    sed -n '2,12p' "$0" >&2
    exit 2
    ;;
esac
