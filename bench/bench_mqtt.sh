#!/usr/bin/env bash
# psuctl mqtt at lab scale on this machine: one mosquitto on a loopback port,
# ten bridges, each with its own psusim of three supplies (1, 5 and 17 at
# 9600 8N1), and one subscriber counting every state message.
#   - every reading a bridge published arrives at the subscriber, and the
#     bridges kept their rhythm (readings against run time / poll period);
#   - reading-to-subscriber latency: the bridge's wall-clock time of each
#     publish (its -v log) to the subscriber's arrival time (mosquitto_sub %U);
#   - a set command through the broker: mosquitto_pub started to the bridge's
#     publish of the result, which follows the write and its read-back.
#
#   bench/bench_mqtt.sh [build-dir]    prints Markdown table rows on stdout
#   BENCH_MQTT_SECONDS=60              length of the run (default 60)
#
# Raw "key value" results go to <build-dir>/bench-results/mqtt.txt.
set -euo pipefail

BUILD=${1:-build-bench}
OUT=$BUILD/bench-results
WORK=$OUT/mqtt
rm -rf "$WORK"
mkdir -p "$WORK"
PSUCTL=$BUILD/psuctl
PSUSIM=$BUILD/psusim
SECONDS_RUN=${BENCH_MQTT_SECONDS:-60}
BRIDGES=10
POLL_MS=500
COMMANDS=20

PIDS=()
stop_all() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_all EXIT

# A loopback port nothing listens on.
PORT=0
for _ in $(seq 50); do
    candidate=$((20000 + RANDOM % 20000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then PORT=$candidate; break; fi
done
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nuser %s\n' "$PORT" "$(id -un)" > "$WORK/mosquitto.conf"
mosquitto -c "$WORK/mosquitto.conf" > "$WORK/broker.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 100); do
    mosquitto_pub -h 127.0.0.1 -p "$PORT" -t bench/ping -m 1 2>/dev/null && break
    sleep 0.05
done

mosquitto_sub -h 127.0.0.1 -p "$PORT" -t 'psu/+/+/state' -F '%U %t' > "$WORK/arrived.txt" &
PIDS+=($!)
mosquitto_sub -h 127.0.0.1 -p "$PORT" -t 'psu/+/+/result' -F '%U %t %p' > "$WORK/results.txt" &
PIDS+=($!)

for n in $(seq "$BRIDGES"); do
    "$PSUSIM" --link "$WORK/tty$n" > "$WORK/sim$n.txt" 2>&1 &
    PIDS+=($!)
done
for n in $(seq "$BRIDGES"); do
    for _ in $(seq 100); do [[ -e $WORK/tty$n ]] && break; sleep 0.05; done
    # -v: every frame, and every publish with its wall-clock time, on stderr.
    "$PSUCTL" -v -p "$WORK/tty$n" -o 0.2 mqtt -a 1,5,17 -m QELT30-05 --broker "127.0.0.1:$PORT" --bench "b$n" \
        --poll "$POLL_MS" 2> "$WORK/bridge$n.txt" &
    PIDS+=($!)
done

# Set commands to bench 1's supply 5 in the second half of the run.
sleep $((SECONDS_RUN / 2))
for i in $(seq "$COMMANDS"); do
    echo "$i $(date +%s.%N)" >> "$WORK/sent.txt"
    mosquitto_pub -h 127.0.0.1 -p "$PORT" -q 1 -t psu/b1/5/set -m "{\"voltage\": $((i % 20 + 1)), \"id\": $i}"
    sleep 0.$((RANDOM % 9 + 1))
done
sleep $((SECONDS_RUN - SECONDS_RUN / 2 - COMMANDS / 2))

# The bridges stop first (their last readings and offline go out), then the
# subscribers have a moment to take what is still under way.
for ((k = 3 + BRIDGES; k < ${#PIDS[@]}; ++k)); do kill "${PIDS[$k]}" 2>/dev/null || true; done
for ((k = 3 + BRIDGES; k < ${#PIDS[@]}; ++k)); do wait "${PIDS[$k]}" 2>/dev/null || true; done
sleep 1
stop_all
trap - EXIT

quantiles() { # values on stdin -> "n median p99 max"
    sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "0 0 0 0"; exit }
        i50 = int((NR + 1) / 2); i99 = int(NR * 0.99 + 0.999)
        printf "%d %.3f %.3f %.3f\n", NR, v[i50], v[i99], v[NR] }'
}

# Publishes of state: "topic wall" per line, in order; those made while the
# link was down are counted apart.
cat "$WORK"/bridge*.txt | awk '$1 == "mqtt" && $2 == "publish" && $3 ~ /\/state$/ && $6 == "" { print $3, $5 }' > "$WORK/published.txt"
PUBLISHED=$(wc -l < "$WORK/published.txt")
NOT_CONNECTED=$(cat "$WORK"/bridge*.txt | grep -c 'publish .*/state at .*(not connected)' || true)
ARRIVED=$(wc -l < "$WORK/arrived.txt")
# The n-th publish of a topic pairs with the n-th arrival of that topic.
read -r LAT_N LAT_MED LAT_P99 LAT_MAX < <(awk '
    FNR == NR { k = $1 SUBSEP (++p[$1]); sent[k] = $2; next }
    { k = $2 SUBSEP (++a[$2]); if (k in sent) printf "%.3f\n", ($1 - sent[k]) * 1000 }' \
    "$WORK/published.txt" "$WORK/arrived.txt" | quantiles)
# Rhythm: each bridge's rounds due from its first publish to its last at the
# poll period (the round of a clean stop comes on top), and the largest gap
# between two readings of one supply.
EXPECTED=$(awk -v poll="$POLL_MS" '
    { split($1, t, "/"); b = t[2]; if (!(b in first)) first[b] = $2; last[b] = $2 }
    END { for (b in first) e += (int((last[b] - first[b]) * 1000 / poll) + 1) * 3; print e }' "$WORK/published.txt")
LARGEST_GAP=$(awk '{ if ($1 in prev && ($2 - prev[$1]) * 1000 > g) g = ($2 - prev[$1]) * 1000; prev[$1] = $2 }
    END { printf "%.1f\n", g }' "$WORK/published.txt")
# Commands: sent -> result published by bridge 1.
awk '$1 == "mqtt" && $2 == "publish" && $3 == "psu/b1/5/result" { print $5 }' "$WORK/bridge1.txt" > "$WORK/result-times.txt"
read -r CMD_N CMD_MED CMD_P99 CMD_MAX < <(paste -d' ' "$WORK/sent.txt" "$WORK/result-times.txt" \
    | awk 'NF == 3 { printf "%.3f\n", ($3 - $2) * 1000 }' | quantiles)
CMD_OK=$(grep -c '"ok":true' "$WORK/results.txt" || true)

{
    echo "mqtt_bridges $BRIDGES"
    echo "mqtt_supplies_per_bridge 3"
    echo "mqtt_poll_ms $POLL_MS"
    echo "mqtt_seconds $SECONDS_RUN"
    echo "mqtt_published $PUBLISHED"
    echo "mqtt_published_not_connected $NOT_CONNECTED"
    echo "mqtt_expected $EXPECTED"
    echo "mqtt_largest_gap_ms $LARGEST_GAP"
    echo "mqtt_arrived $ARRIVED"
    echo "mqtt_latency_n $LAT_N"
    echo "mqtt_latency_ms_median $LAT_MED"
    echo "mqtt_latency_ms_p99 $LAT_P99"
    echo "mqtt_latency_ms_max $LAT_MAX"
    echo "mqtt_commands $COMMANDS"
    echo "mqtt_commands_ok $CMD_OK"
    echo "mqtt_command_n $CMD_N"
    echo "mqtt_command_ms_median $CMD_MED"
    echo "mqtt_command_ms_p99 $CMD_P99"
    echo "mqtt_command_ms_max $CMD_MAX"
} > "$OUT/mqtt.txt"

awk '
{ v[$1] = $2 }
function f(x, d) { return sprintf("%." d "f", x) }
function yn(c) { return c ? "yes" : "**no**" }
function row(figure, measured, target, met) { printf "| %s | %s | %s | %s |\n", figure, measured, target, met }
END {
    row("psuctl mqtt, " v["mqtt_bridges"] " bridges x " v["mqtt_supplies_per_bridge"] " supplies, --poll " v["mqtt_poll_ms"] \
        ", " v["mqtt_seconds"] " s: readings published / arrived at one subscriber",
        v["mqtt_published"] " / " v["mqtt_arrived"] " (" v["mqtt_expected"] " due on the rhythm; largest gap between two readings of a supply " v["mqtt_largest_gap_ms"] " ms; " v["mqtt_published_not_connected"] " while unconnected)",
        "all arrive, all due published", yn(v["mqtt_arrived"] == v["mqtt_published"] && v["mqtt_published"] >= v["mqtt_expected"] && v["mqtt_published_not_connected"] == 0 && v["mqtt_largest_gap_ms"] < 1.5 * v["mqtt_poll_ms"]))
    row("psuctl mqtt, publish -> subscriber latency, median (p99; max) of " v["mqtt_latency_n"],
        f(v["mqtt_latency_ms_median"], 2) " ms (" f(v["mqtt_latency_ms_p99"], 2) "; " f(v["mqtt_latency_ms_max"], 2) ")",
        "median <= 5 ms", yn(v["mqtt_latency_ms_median"] <= 5 && v["mqtt_latency_n"] > 0))
    # A write (11 bytes) and its acknowledgement (8), the read-back (8) and its
    # reply (7) at 9600 8N1, and the 5 ms turnaround of the simulator twice.
    line = (11 + 8 + 8 + 7) * 10 / 9600 * 1000 + 2 * 5
    row("psuctl mqtt, set command: mosquitto_pub started -> result published (written and read back), median (max) of " v["mqtt_command_n"] " (" v["mqtt_commands_ok"] " ok)",
        f(v["mqtt_command_ms_median"], 1) " ms (" f(v["mqtt_command_ms_max"], 1) ")",
        "<= poll " v["mqtt_poll_ms"] " ms + line " f(line, 1) " ms", yn(v["mqtt_command_ms_max"] <= v["mqtt_poll_ms"] + line && v["mqtt_commands_ok"] == v["mqtt_commands"]))
}' "$OUT/mqtt.txt"
