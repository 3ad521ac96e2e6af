#!/usr/bin/env bash
# psuctl against psusim (supplies at 1, 5 and 17 on a pseudo-terminal at 9600
# 8N1), with mbpoll on the same bus in the same run:
#   - a scan of 1..247 by both, with the same timeout;
#   - the status round trip (request written to the reply's last byte read),
#     psuctl by its own -v clock and both programs under strace;
#   - the rhythm of status --watch 100, from the times the simulator saw the polls;
#   - status --watch 0 over the three supplies: how busy it keeps the line.
#
#   bench/bench_psuctl.sh [build-dir]    prints Markdown table rows on stdout
#   BENCH_QUICK=1                         100 watch readings instead of 300
#
# Raw "key value" results go to <build-dir>/bench-results/psuctl.txt.
set -euo pipefail

source "$(dirname "$0")/benchsim.sh"
if [[ ${BENCH_QUICK:-0} == 1 ]]; then READINGS=100; TRIPS=30; ROUNDS=40; else READINGS=300; TRIPS=60; ROUNDS=150; fi

SIM_LOG=$OUT/psuctl-sim.txt
start_psusim "$SIM_LOG" -v
trap 'kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true' EXIT

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
quantiles() { # values on stdin -> "n median p01 p99 min max"
    sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "0 0 0 0 0 0"; exit }
        i50 = int((NR + 1) / 2); i1 = int(NR * 0.01 + 0.999); i99 = int(NR * 0.99 + 0.999)
        if (i1 < 1) i1 = 1
        printf "%d %.3f %.3f %.3f %.3f %.3f\n", NR, v[i50], v[i1], v[i99], v[1], v[NR] }'
}

# Scan: psuctl's default timeout for a probe at 9600 8N1 (the 8-byte request's
# time plus 30 ms), given to both programs.
TIMEOUT=$(awk 'BEGIN { printf "%.6f", 8 * 10 / 9600 + 0.030 }')
echo "psuctl scan 1..247 ..." >&2
t0=$(now_ms)
"$PSUCTL" -p "$DEV" -o "$TIMEOUT" scan > "$OUT/psuctl-scan.txt"
t1=$(now_ms)
echo "mbpoll scan 1..247 ..." >&2
mbpoll -m rtu -b 9600 -P none -d 8 -s 1 -a 1:247 -r 4096 -0 -c 1 -1 -o "$TIMEOUT" "$DEV" \
    > "$OUT/mbpoll-scan.txt" 2>&1 || true
t2=$(now_ms)
PSUCTL_FOUND=$(paste -sd, "$OUT/psuctl-scan.txt")
MBPOLL_FOUND=$(awk '/^-- Polling slave/ { s = $4; sub(/\.\.\./, "", s) } /^\[4096\]/ { printf "%s%s", n++ ? "," : "", s }' \
    "$OUT/mbpoll-scan.txt")

# Status round trip under strace, for both programs alike: from the start of
# the status request's write() to the end of the read() that completes the
# 15-byte reply.
strace_trips() {
    awk '
    / write\([0-9]+, "\\1\\3\\20\\0\\0\\5\\201\\t", 8\)/ {
        fd = $2; sub(/^write\(/, "", fd); sub(/,$/, "", fd); start = $1; got = 0; open = 1; next }
    open && index($2, "read(" fd ",") == 1 {
        n = $(NF - 1); d = $NF; gsub(/[<>]/, "", d); got += n
        if (got >= 15) { printf "%.3f\n", ($1 + d - start) * 1000; open = 0 } }' "$@"
}
echo "status round trips ..." >&2
: > "$OUT/psuctl-strace-trips.txt"
: > "$OUT/mbpoll-strace-trips.txt"
for _ in $(seq "$TRIPS"); do
    strace -ttt -T -e trace=read,write -o "$OUT/strace.txt" \
        "$PSUCTL" -p "$DEV" status -a 1 -m QELT30-05 > /dev/null
    strace_trips "$OUT/strace.txt" >> "$OUT/psuctl-strace-trips.txt"
    strace -ttt -T -e trace=read,write -o "$OUT/strace.txt" \
        mbpoll -m rtu -b 9600 -P none -a 1 -r 4096 -0 -c 5 -1 "$DEV" > /dev/null
    strace_trips "$OUT/strace.txt" >> "$OUT/mbpoll-strace-trips.txt"
done
rm -f "$OUT/strace.txt"
"$PSUCTL" -p "$DEV" -v status -a 1 -m QELT30-05 --watch 50 --count "$TRIPS" 2> "$OUT/psuctl-verbose.txt" > /dev/null
awk '$3 == "->" { sent = $1; status = ($4 " " $5 " " $6 " " $9 == "01 03 10 05") }
     $3 == "<-" && status { printf "%.3f\n", $1 - sent; status = 0 }' "$OUT/psuctl-verbose.txt" \
    > "$OUT/psuctl-own-trips.txt"

# The rhythm of --watch 100: the intervals between status polls as psuctl sent
# them (its -v clock) and as the simulator saw them arrive.
echo "status --watch 100, $READINGS readings ..." >&2
FROM=$(wc -l < "$SIM_LOG")
"$PSUCTL" -p "$DEV" -v status -a 1 -m QELT30-05 --watch 100 --count "$READINGS" --format csv \
    > "$OUT/psuctl-watch.csv" 2> "$OUT/psuctl-watch-verbose.txt"
sleep 0.2
poll_intervals() {
    awk -v dir="$1" '$3 == dir && $4 " " $5 " " $6 " " $9 == "01 03 10 05" {
        if (n++) printf "%.3f\n", $1 - last; last = $1 }'
}
poll_intervals "->" < "$OUT/psuctl-watch-verbose.txt" > "$OUT/psuctl-watch-intervals.txt"
tail -n +"$((FROM + 1))" "$SIM_LOG" | poll_intervals "<-" > "$OUT/psuctl-watch-intervals-sim.txt"

# --watch 0 over 1, 5 and 17: the line time of what passed (every byte at
# 10 bits / 9600 baud, plus the simulator's 5 ms turnaround per answered
# request) against the wall time from the first request's arrival to the last
# reply's last byte; and psuctl's own share, the silence between a reply's
# last byte and the next request.
echo "status --watch 0, three supplies, $ROUNDS rounds ..." >&2
FROM=$(wc -l < "$SIM_LOG")
"$PSUCTL" -p "$DEV" status -a 1,5,17 -m QELT30-05 --watch 0 --count "$ROUNDS" --format csv > "$OUT/psuctl-watch0.csv"
sleep 0.2
tail -n +"$((FROM + 1))" "$SIM_LOG" | awk -v charms="$(awk 'BEGIN { print 10 / 9600 * 1000 }')" -v turn=5 '
    $3 == "<-" || $3 == "->" {
        n = 0; for (i = 4; i <= NF && $i !~ /^\(/; i++) n++
        line += n * charms
        if ($3 == "<-") {
            if (!first) first = $1
            if (replyEnd) idle += $1 - replyEnd
            if (index($0, "(answered)")) { line += turn; exchanges++ }
        } else {
            replyEnd = $1 + (n - 1) * charms
        }
    }
    END { printf "watch0_exchanges %d\nwatch0_line_ms %.3f\nwatch0_wall_ms %.3f\nwatch0_idle_ms %.3f\n",
                 exchanges, line, replyEnd - first, idle }' > "$OUT/psuctl-watch0.txt"
WATCH0_ROWS=$(($(wc -l < "$OUT/psuctl-watch0.csv") - 1))

read -r OWN_N OWN_MED _ OWN_P99 _ _ < <(quantiles < "$OUT/psuctl-own-trips.txt")
read -r PS_N PS_MED _ PS_P99 _ _ < <(quantiles < "$OUT/psuctl-strace-trips.txt")
read -r MB_N MB_MED _ MB_P99 _ _ < <(quantiles < "$OUT/mbpoll-strace-trips.txt")
read -r W_N W_MED W_P1 W_P99 W_MIN W_MAX < <(quantiles < "$OUT/psuctl-watch-intervals.txt")
read -r S_N S_MED S_P1 S_P99 S_MIN S_MAX < <(quantiles < "$OUT/psuctl-watch-intervals-sim.txt")

{
    echo "psuctl_scan_ms $((t1 - t0))"
    echo "mbpoll_scan_ms $((t2 - t1))"
    echo "scan_timeout_s $TIMEOUT"
    echo "psuctl_scan_found $PSUCTL_FOUND"
    echo "mbpoll_scan_found $MBPOLL_FOUND"
    echo "psuctl_trip_own_n $OWN_N"
    echo "psuctl_trip_own_ms_median $OWN_MED"
    echo "psuctl_trip_own_ms_p99 $OWN_P99"
    echo "psuctl_trip_strace_ms_median $PS_MED"
    echo "psuctl_trip_strace_ms_p99 $PS_P99"
    echo "mbpoll_trip_strace_n $MB_N"
    echo "mbpoll_trip_strace_ms_median $MB_MED"
    echo "mbpoll_trip_strace_ms_p99 $MB_P99"
    echo "watch_interval_n $W_N"
    echo "watch_interval_ms_median $W_MED"
    echo "watch_interval_ms_p01 $W_P1"
    echo "watch_interval_ms_p99 $W_P99"
    echo "watch_interval_ms_min $W_MIN"
    echo "watch_interval_ms_max $W_MAX"
    echo "watch_sim_interval_n $S_N"
    echo "watch_sim_interval_ms_median $S_MED"
    echo "watch_sim_interval_ms_p01 $S_P1"
    echo "watch_sim_interval_ms_p99 $S_P99"
    echo "watch_sim_interval_ms_min $S_MIN"
    echo "watch_sim_interval_ms_max $S_MAX"
    echo "watch0_rounds $ROUNDS"
    echo "watch0_rows $WATCH0_ROWS"
    cat "$OUT/psuctl-watch0.txt"
} > "$OUT/psuctl.txt"

awk '
{ v[$1] = $2 }
function f(x, d) { return sprintf("%." d "f", x) }
function yn(c) { return c ? "yes" : "**no**" }
function abs(x) { return x < 0 ? -x : x }
function row(figure, measured, target, met) { printf "| %s | %s | %s | %s |\n", figure, measured, target, met }
END {
    p = v["psuctl_scan_ms"] / 1000; m = v["mbpoll_scan_ms"] / 1000
    row("psuctl scan 1..247, timeout " f(v["scan_timeout_s"] * 1000, 1) " ms (found " v["psuctl_scan_found"] ")",
        f(p, 2) " s (mbpoll " f(m, 2) " s, found " v["mbpoll_scan_found"] "; ratio " f(p / m, 3) ")",
        "<= 10 s and <= mbpoll", yn(p <= 10 && p <= m))
    # At 9600 8N1 a character is 10 bits: request 8 and reply 15 characters, and the 5 ms turnaround.
    line = (8 + 15) * 10 / 9600 * 1000 + 5
    # On the pseudo-terminal the request arrives at once; the simulator waits its
    # 4 ms frame gap (3.5 characters on a 1 ms timer) before the turnaround.
    floor = 4 + 5 + 15 * 10 / 9600 * 1000
    row("psuctl status round trip, median (p99) of " v["psuctl_trip_own_n"] ", own -v clock",
        f(v["psuctl_trip_own_ms_median"], 2) " ms (" f(v["psuctl_trip_own_ms_p99"], 2) ")",
        "<= line minimum " f(line, 2) " ms + 3 (floor on the pseudo-terminal " f(floor, 2) " ms)",
        yn(v["psuctl_trip_own_ms_median"] <= line + 3 && v["psuctl_trip_own_ms_median"] - floor <= 3))
    row("status round trip under strace, median (p99) of " v["mbpoll_trip_strace_n"] ": psuctl / mbpoll",
        f(v["psuctl_trip_strace_ms_median"], 2) " (" f(v["psuctl_trip_strace_ms_p99"], 2) ") / " \
        f(v["mbpoll_trip_strace_ms_median"], 2) " (" f(v["mbpoll_trip_strace_ms_p99"], 2) ") ms", "-", "-")
    watch("psuctl status --watch 100, poll interval as sent, median (p1..p99; min..max) of ", "watch_interval")
    watch("psuctl status --watch 100, poll interval as the simulator saw it, median (p1..p99; min..max) of ", "watch_sim_interval")
    busy = v["watch0_line_ms"] / v["watch0_wall_ms"]
    row("psuctl status -a 1,5,17 --watch 0, " v["watch0_rounds"] " rounds (" v["watch0_rows"] " rows, " \
        v["watch0_exchanges"] " exchanges): line time / wall time (psuctl silent between a reply and the next request)",
        f(busy * 100, 1) " % (" f(v["watch0_idle_ms"] / v["watch0_wall_ms"] * 100, 2) " %)",
        ">= 90 %", yn(busy >= 0.9 && v["watch0_rows"] == 3 * v["watch0_rounds"]))
}
function watch(figure, k) {
    row(figure v[k "_n"],
        f(v[k "_ms_median"], 2) " ms (" f(v[k "_ms_p01"], 2) ".." f(v[k "_ms_p99"], 2) "; " \
        f(v[k "_ms_min"], 2) ".." f(v[k "_ms_max"], 2) ")",
        "100 ms: median +-1%, p1 and p99 +-5%",
        yn(abs(v[k "_ms_median"] - 100) <= 1 && abs(v[k "_ms_p99"] - 100) <= 5 && abs(v[k "_ms_p01"] - 100) <= 5))
}' "$OUT/psuctl.txt"
