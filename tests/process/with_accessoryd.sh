#!/bin/sh
# Runs a program against a vorasel-accessoryd of its own: starts the daemon on a fresh socket,
# waits until it answers, runs the program with VORASEL_ACCESSORYD_SOCKET set, stops the daemon.
# Usage: with_accessoryd.sh DAEMON 'DAEMON ARGUMENTS' PROGRAM [ARGUMENTS...]
set -u
daemon=$1
daemon_args=$2
shift 2
dir=$(mktemp -d)
socket=$dir/accessoryd.sock
# shellcheck disable=SC2086
"$daemon" --socket "$socket" $daemon_args &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
# The daemon attaches its case before it listens; wait (up to 10 s) for the socket.
tries=0
while [ ! -S "$socket" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 1000 ] || ! kill -0 "$pid" 2>/dev/null; then
        echo "with_accessoryd: the daemon did not start" >&2
        exit 1
    fi
    sleep 0.01
done
VORASEL_ACCESSORYD_SOCKET=$socket "$@"
