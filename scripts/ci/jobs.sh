# Sourced by scripts that run one function per item, at most JOBS at once:
# `run_each JOBS FUNCTION ITEM...` returns non-zero if any call failed.
run_each() {
    local jobs="$1" fn="$2" status=0 running=0 item
    shift 2
    for item in "$@"; do
        if [ "$running" -ge "$jobs" ]; then
            wait -n || status=1
            running=$((running - 1))
        fi
        "$fn" "$item" &
        running=$((running + 1))
    done
    while [ "$running" -gt 0 ]; do
        wait -n || status=1
        running=$((running - 1))
    done
    return "$status"
}
