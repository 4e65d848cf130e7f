# Sourced by scripts that run one function per item, at most JOBS at once:
# `run_each JOBS FUNCTION ITEM...` returns non-zero if any call failed.
# Failures are recorded in a file: `wait -n` does not report a job that ended before it was
# called (it returns 127), so its status cannot tell a failure.
run_each() {
    local jobs="$1" fn="$2" running=0 item failed
    shift 2
    failed=$(mktemp "${TMPDIR:-/tmp}/vorasel-jobs.XXXXXX")
    for item in "$@"; do
        if [ "$running" -ge "$jobs" ]; then
            wait -n || true
            running=$((running - 1))
        fi
        ( "$fn" "$item" || echo "$item" >> "$failed" ) &
        running=$((running + 1))
    done
    wait
    if [ -s "$failed" ]; then
        rm -f "$failed"
        return 1
    fi
    rm -f "$failed"
}
