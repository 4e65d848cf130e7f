# Sourced by the CI and test scripts: `step NAME COMMAND...` runs a command and keeps its wall
# time; `steps_report` prints the table. Times go to $VORASEL_STEPS_FILE when it is set, so a
# script that calls another gathers every step into one table.
if [ -z "${VORASEL_STEPS_FILE:-}" ]; then
    VORASEL_STEPS_FILE=$(mktemp "${TMPDIR:-/tmp}/vorasel-steps.XXXXXX")
    export VORASEL_STEPS_FILE
fi

_ms_now() { echo $(( $(date +%s%N) / 1000000 )); }

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

steps_report() {
    echo
    echo "step times (wall)"
    awk -F'\t' '{ printf "  %-46s %7.1f s\n", $1, $2 / 1000; total += $2 }
                END { printf "  %-46s %7.1f s  (%.1f min)\n", "total", total / 1000, total / 60000 }' \
        "$VORASEL_STEPS_FILE"
}
