# Sourced by the shell benches that run psusim: the build's programs (the
# build folder is the bench's first argument), where the results go, and
# psusim on a pseudo-terminal of its own.
BUILD=${1:-build-bench}
OUT=$BUILD/bench-results
mkdir -p "$OUT"
PSUCTL=$BUILD/psuctl
PSUSIM=$BUILD/psusim

# start_psusim LOG [psusim options]: psusim with its output in LOG, once it
# has printed its device; sets SIM_PID and DEV.
start_psusim() {
    local log=$1
    shift
    "$PSUSIM" "$@" > "$log" &
    SIM_PID=$!
    for _ in $(seq 100); do
        [[ -s $log ]] && break
        sleep 0.05
    done
    DEV=$(head -n 1 "$log")
}
