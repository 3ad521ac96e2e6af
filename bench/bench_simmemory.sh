#!/usr/bin/env bash
# The simulator's resident memory over a long run: psusim on a pseudo-terminal
# at 9600 8N1 and psuctl reading one supply every 50 ms (a status read and a
# power read, up to 40 transactions a second; a 500 ms timeout, so that a busy
# machine does not turn transactions into retries), psusim's VmRSS sampled as
# it goes. The transactions are counted by psuctl's -v frames.
# A simulator that kept anything per frame would grow by the hour.
#
#   bench/bench_simmemory.sh [build-dir]   prints a Markdown table row on stdout
#   BENCH_QUICK=1                          a 60-second run instead of 10 minutes
#   BENCH_SIMMEM_SECONDS=3600              any other length
#
# The samples ("seconds kB") go to <build-dir>/bench-results/simmemory.txt.
set -euo pipefail

source "$(dirname "$0")/benchsim.sh"
if [[ ${BENCH_QUICK:-0} == 1 ]]; then SECONDS_RUN=60; else SECONDS_RUN=600; fi
SECONDS_RUN=${BENCH_SIMMEM_SECONDS:-$SECONDS_RUN}
STEP=$(( SECONDS_RUN >= 600 ? 60 : 10 ))
WARMUP=10

FRAMES=$OUT/simmemory-frames.txt
start_psusim "$OUT/simmemory-sim.txt"
CTL_PID=
cleanup() {
    [[ -n $CTL_PID ]] && kill "$CTL_PID" 2>/dev/null || true
    kill "$SIM_PID" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$SIM_PID/status"; }

"$PSUCTL" -v -o 0.5 -p "$DEV" status -a 1 -m 1 --watch 50 --format csv > /dev/null 2> "$FRAMES" &
CTL_PID=$!
sleep "$WARMUP"
requests() { grep -c -e ' -> ' "$FRAMES" || true; }
START_REQUESTS=$(requests)
START_KB=$(rss)
: > "$OUT/simmemory.txt"
echo "0 $START_KB" >> "$OUT/simmemory.txt"
for (( t = STEP; t <= SECONDS_RUN; t += STEP )); do
    sleep "$STEP"
    echo "$t $(rss)" >> "$OUT/simmemory.txt"
done
END_REQUESTS=$(requests)
END_KB=$(rss)

awk -v s="$START_KB" -v e="$END_KB" -v requests=$(( END_REQUESTS - START_REQUESTS )) -v secs="$SECONDS_RUN" 'BEGIN {
    rate = requests / secs
    perMin = (e - s) / 1024 / (secs / 60)
    perTransaction = requests ? (e - s) * 1024 / requests : 0
    printf "| psusim resident memory, %d min at %.0f transactions/s | %.1f MB -> %.1f MB (%+.3f MB/min, %+.0f bytes a transaction) | <= 0.05 MB/min | %s |\n",
        secs / 60, rate, s / 1024, e / 1024, perMin, perTransaction, perMin <= 0.05 ? "yes" : "**no**"
}'
