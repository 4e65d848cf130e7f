# Sourced by the CI and test scripts: `step NAME COMMAND...` runs a command and keeps its wall
# time; `step_beside NAME LOG COMMAND...` starts one in the background at the lowest CPU
# priority (a build that uses the cores a waiting test suite leaves idle) and `step_join NAME`
# waits for it; `steps_report` prints the table. Times go to $VORASEL_STEPS_FILE when it is set,
# so a script that calls another gathers every step into one table.
_ms_now() { echo $(( $(date +%s%N) / 1000000 )); }

if [ -z "${VORASEL_STEPS_FILE:-}" ]; then
    VORASEL_STEPS_FILE=$(mktemp "${TMPDIR:-/tmp}/vorasel-steps.XXXXXX")
    export VORASEL_STEPS_FILE
    VORASEL_STEPS_T0=$(_ms_now)
    export VORASEL_STEPS_T0
fi

step() {
    local name="$1"; shift
    local t0 ms rc=0
    echo "==> $name"
    t0=$(_ms_now)
    "$@" || rc=$?
    ms=$(( $(_ms_now) - t0 ))
    printf '%s%s\t%d\n' "$name" "$([ $rc -eq 0 ] || echo " (FAILED)")" "$ms" >> "$VORASEL_STEPS_FILE"
    printf '<== %s: %d.%d s, exit %d\n' "$name" $(( ms / 1000 )) $(( ms % 1000 / 100 )) "$rc"
    return "$rc"
}

declare -A _beside_pids=()

step_beside() {
    local name="$1" log="$2"; shift 2
    echo "==> $name (in the background, output in $log)"
    ( step "$name [beside]" nice -n 19 "$@" > "$log" 2>&1 ) &
    _beside_pids[$name]=$!
}

step_join() {
    local name="$1" log="$2" rc=0
    wait "${_beside_pids[$name]}" || rc=$?
    unset "_beside_pids[$name]"
    if [ "$rc" -ne 0 ]; then
        echo "FAILED: $name; the end of its output:"
        tail -n 60 "$log"
    fi
    return "$rc"
}

# Steps marked [beside] ran while others did, so the total is the elapsed time, not their sum.
steps_report() {
    local elapsed=$(( $(_ms_now) - ${VORASEL_STEPS_T0:-$(_ms_now)} ))
    echo
    echo "step times (wall)"
    awk -F'\t' -v elapsed="$elapsed" '
        { printf "  %-54s %7.1f s\n", $1, $2 / 1000 }
        END { printf "  %-54s %7.1f s  (%.1f min)\n", "total (elapsed)", elapsed / 1000, elapsed / 60000 }' \
        "$VORASEL_STEPS_FILE"
}
