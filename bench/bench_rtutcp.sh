#!/usr/bin/env bash
# RTU over TCP through a transparent serial server against the direct line:
# psusim on a pseudo-terminal at 9600 8N1, socat between a loopback TCP port
# and that pseudo-terminal (as a serial server stands between the network and
# an RS-485 bus), and the status round trip of psuctl over each, alternating,
# by psuctl's own -v clock (request written to the reply's last byte read).
#
#   bench/bench_rtutcp.sh [build-dir]    prints a Markdown table row on stdout
#   BENCH_QUICK=1                         30 round trips a side instead of 100
#
# Raw "key value" results go to <build-dir>/bench-results/rtutcp.txt.
set -euo pipefail

source "$(dirname "$0")/benchsim.sh"
if [[ ${BENCH_QUICK:-0} == 1 ]]; then TRIPS=30; else TRIPS=100; fi

start_psusim "$OUT/rtutcp-sim.txt"
SOCAT_PID=
cleanup() {
    [[ -n $SOCAT_PID ]] && kill "$SOCAT_PID" 2>/dev/null || true
    kill "$SIM_PID" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT
listening() { grep -qi "0100007F:$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp; }
PORT=$(shuf -i 20000-60000 -n 1)
while listening "$PORT"; do PORT=$(shuf -i 20000-60000 -n 1); done
socat "TCP-LISTEN:$PORT,bind=127.0.0.1,reuseaddr" "FILE:$DEV,raw,echo=0" &
SOCAT_PID=$!
for _ in $(seq 100); do
    listening "$PORT" && break
    sleep 0.05
done

trips() { # psuctl -v output on stdin -> one round trip in ms per status request
    awk '$3 == "->" { sent = $1; status = index($0, "01 03 10 00 00 05") > 0 }
         $3 == "<-" && status { printf "%.3f\n", $1 - sent; status = 0 }'
}
quantiles() { # values on stdin -> "n median p99"
    sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "0 0 0"; exit }
        printf "%d %.3f %.3f\n", NR, v[int((NR + 1) / 2)], v[int(NR * 0.99 + 0.999)] }'
}

echo "status round trips, over socat and direct ..." >&2
# One connection through the server for the whole watch, as the bridge keeps one.
"$PSUCTL" -p "rtu+tcp://127.0.0.1:$PORT" -v status -a 1 -m QELT30-05 --watch 50 --count "$TRIPS" \
    2> "$OUT/rtutcp-verbose.txt" > /dev/null
kill "$SOCAT_PID" 2>/dev/null || true
wait "$SOCAT_PID" 2>/dev/null || true
SOCAT_PID=
"$PSUCTL" -p "$DEV" -v status -a 1 -m QELT30-05 --watch 50 --count "$TRIPS" \
    2> "$OUT/rtutcp-direct-verbose.txt" > /dev/null
trips < "$OUT/rtutcp-verbose.txt" > "$OUT/rtutcp-trips.txt"
trips < "$OUT/rtutcp-direct-verbose.txt" > "$OUT/rtutcp-direct-trips.txt"
read -r TCP_N TCP_MED TCP_P99 < <(quantiles < "$OUT/rtutcp-trips.txt")
read -r DIR_N DIR_MED DIR_P99 < <(quantiles < "$OUT/rtutcp-direct-trips.txt")
{
    echo "rtutcp_trip_n $TCP_N"
    echo "rtutcp_trip_ms_median $TCP_MED"
    echo "rtutcp_trip_ms_p99 $TCP_P99"
    echo "direct_trip_n $DIR_N"
    echo "direct_trip_ms_median $DIR_MED"
    echo "direct_trip_ms_p99 $DIR_P99"
} > "$OUT/rtutcp.txt"

awk '
{ v[$1] = $2 }
function f(x, d) { return sprintf("%." d "f", x) }
function abs(x) { return x < 0 ? -x : x }
END {
    d = v["rtutcp_trip_ms_median"] - v["direct_trip_ms_median"]
    printf "| psuctl status round trip over rtu+tcp:// through socat / direct on the pseudo-terminal, median (p99) of %d / %d | %s (%s) / %s (%s) ms: %s ms | within 1 ms of the direct line | %s |\n",
        v["rtutcp_trip_n"], v["direct_trip_n"],
        f(v["rtutcp_trip_ms_median"], 2), f(v["rtutcp_trip_ms_p99"], 2),
        f(v["direct_trip_ms_median"], 2), f(v["direct_trip_ms_p99"], 2),
        (d >= 0 ? "+" : "") f(d, 2), abs(d) <= 1 ? "yes" : "**no**"
}' "$OUT/rtutcp.txt"
