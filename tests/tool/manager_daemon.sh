#!/bin/sh
# `vorasel manager` and `vorasel firmware` against vorasel-accessoryd, as a user runs them:
# a property written by one run is read by the next, the firmware upgrade brings the daemon's
# case back with the new revision, and without a daemon every operation reports the accessory
# missing (exit status 2).
# usage: manager_daemon.sh VORASEL VORASEL_ACCESSORYD
set -u
tool=$1
daemon=$2
dir=$(mktemp -d)
socket=$dir/accessoryd.sock
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

# expect STATUS PATTERN ARGS...: runs the tool, checks its exit status and output.
expect() {
    want=$1
    pattern=$2
    shift 2
    out=$("$tool" "$@" 2>&1)
    rc=$?
    printf '$ vorasel %s\n%s\n' "$*" "$out"
    [ "$rc" -eq "$want" ] || fail "exit status $rc, want $want"
    printf '%s' "$out" | grep -q -e "$pattern" || fail "missing: $pattern"
}

"$daemon" --socket "$socket" --reattach-delay 100 2>"$dir/daemon.log" &
pid=$!
# The daemon attaches its case before it listens: the socket's existence means ready.
i=0
while [ ! -S "$socket" ]; do
    i=$((i + 1))
    [ $i -le 200 ] || fail "the daemon did not start: $(cat "$dir/daemon.log")"
    kill -0 "$pid" 2>/dev/null || fail "the daemon exited: $(cat "$dir/daemon.log")"
    sleep 0.05
done

export VORASEL_ACCESSORYD_SOCKET="$socket"
expect 0 '^colour = green$' manager property set colour green
expect 0 '^green$' manager property get colour
expect 0 '"gpio write","status":0' manager --json gpio write 1 0x0F 0x0A
expect 0 'port 1 mask 0x000F: state 0x000A' manager gpio read 1 0x0F

head -c 3000 /dev/zero | tr '\000' x >"$dir/payload"
expect 0 'format 1, revision 2.5.0, 3000-byte payload' \
    firmware-image build --revision 2.5.0 "$dir/payload" "$dir/image"
expect 0 'came back with firmware 2.5.0 (was 1.0.0' firmware "$dir/image"
expect 0 '^firmware_upgrades 1$' manager counters
# A corrupt image never reaches the case: the daemon's case keeps 2.5.0 and its counter.
{ head -c 1000 "$dir/image"; printf y; tail -c +1002 "$dir/image"; } >"$dir/corrupt"
expect 65 'refused: payload checksum does not match' firmware "$dir/corrupt"
expect 0 '^firmware_upgrades 1$' manager counters
expect 0 'came back with firmware 2.5.0 (was 2.5.0' firmware "$dir/image"

export VORASEL_ACCESSORYD_SOCKET="$dir/nobody-listens.sock"
expect 2 'capabilities failed: HVManagerStatusAccessoryNotFound (2)' manager capabilities
expect 2 '"status":2' firmware --json "$dir/image"
echo "daemon runs passed"
