#!/usr/bin/env bash
# Runs the three benchmark programs of a build, bench_psuctl.sh, bench_mqtt.sh,
# bench_rtutcp.sh and bench_simmemory.sh, and prints one table (Markdown) of
# codec speed, timing fidelity, footprint, psuctl beside mbpoll and over the
# network, and the simulator's memory against their targets.
#
#   bench/run.sh [build-dir]         full run (about sixteen minutes, ten of
#                                    them the simulator's memory)
#   BENCH_QUICK=1 bench/run.sh       40 polls, fewer commands and probes,
#                                    a 20-second footprint run, a minute of
#                                    the simulator (about three minutes)
#   BENCH_POLL_SECONDS=3600 ...      a longer footprint run (one sample a minute)
#
# The raw "key value" output of each program is kept in <build-dir>/bench-results/.
set -euo pipefail

BUILD=${1:-build-bench}
BIN=$BUILD/bench
OUT=$BUILD/bench-results
mkdir -p "$OUT"
export QT_QPA_PLATFORM=offscreen

QUICK=${BENCH_QUICK:-0}
if [[ $QUICK == 1 ]]; then
    POLL_SECONDS=${BENCH_POLL_SECONDS:-20}
    TIMING_ARGS=--quick
else
    POLL_SECONDS=${BENCH_POLL_SECONDS:-60}
    TIMING_ARGS=
fi

quiet() { grep -v -e 'XDG_RUNTIME_DIR' -e 'propagateSizeHints' -e 'does not support raise' -e '^\*\*\*WARNING' >&2 || true; }

echo "codec ..." >&2
"$BIN/bench_codec" > "$OUT/codec.txt" 2> >(quiet)
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
echo "timing over a pseudo-terminal ..." >&2
"$BIN/bench_timing" $TIMING_ARGS > "$OUT/timing.txt" 2> >(quiet)
echo "start-up ..." >&2
"$BIN/bench_footprint" --startup 10 > "$OUT/startup.txt" 2> >(quiet)
echo "footprint, ${POLL_SECONDS} s of polling ..." >&2
"$BIN/bench_footprint" --poll "$POLL_SECONDS" --samples "$OUT/poll-samples.txt" > "$OUT/poll.txt" 2> >(quiet)
echo "trend: a day of readings, drawn and in memory ..." >&2
"$BIN/bench_trend" --render > "$OUT/trend.txt" 2> >(quiet)
"$BIN/bench_trend" --memory >> "$OUT/trend.txt" 2> >(quiet)
echo "footprint, ${POLL_SECONDS} s of polling with the trend shown ..." >&2
"$BIN/bench_footprint" --poll "$POLL_SECONDS" --trend > "$OUT/poll-trend.txt" 2> >(quiet)
echo "plan run recorders: report files and the history ..." >&2
"$BIN/bench_reports" > "$OUT/reports.txt" 2> >(quiet)
echo "overview, 16 supplies at 9600 baud, ${POLL_SECONDS} s ..." >&2
"$BIN/bench_overview" "$POLL_SECONDS" > "$OUT/overview.txt" 2> >(quiet)
echo "psuctl beside mbpoll ..." >&2
"$(dirname "$0")/bench_psuctl.sh" "$BUILD" > "$OUT/psuctl-rows.md"
echo "plan engine: overhead and dwell on a shared line ..." >&2
"$BIN/bench_plan" $TIMING_ARGS > "$OUT/plan-rows.md" 2> >(quiet)
echo "psuctl mqtt, ten bridges on one broker ..." >&2
"$(dirname "$0")/bench_mqtt.sh" "$BUILD" > "$OUT/mqtt-rows.md"
echo "psuctl over RTU over TCP through socat, beside the direct line ..." >&2
"$(dirname "$0")/bench_rtutcp.sh" "$BUILD" > "$OUT/rtutcp-rows.md"
echo "psuctl serve, the line through Modbus TCP and eight clients on it ..." >&2
"$(dirname "$0")/bench_serve.py" "$BUILD" > "$OUT/serve-rows.md"
echo "psuctl scpi, MEAS:VOLT? from pyvisa ..." >&2
"$(dirname "$0")/bench_scpi.py" "$BUILD" > "$OUT/scpi-rows.md"
echo "psuctl --metrics, 32 supplies scraped ..." >&2
"$(dirname "$0")/bench_metrics.py" "$BUILD" > "$OUT/metrics-rows.md"
echo "psusim's resident memory at 40 transactions/s ..." >&2
"$(dirname "$0")/bench_simmemory.sh" "$BUILD" > "$OUT/simmemory-rows.md"

cat "$OUT"/codec.txt "$OUT"/timing.txt "$OUT"/startup.txt "$OUT"/poll.txt "$OUT"/trend.txt "$OUT"/poll-trend.txt "$OUT"/reports.txt "$OUT"/overview.txt > "$OUT/all.txt"

awk '
{ v[$1] = ($2 == int($2) ? int($2) : $2) }
function f(x, d) { return sprintf("%." d "f", x) }
function yn(c) { return c ? "yes" : "**no**" }
function abs(x) { return x < 0 ? -x : x }
function row(figure, measured, target, met) { printf "| %s | %s | %s | %s |\n", figure, measured, target, met }
END {
    print "| Figure | Measured | Target | Met |"
    print "|---|---|---|---|"
    for (i = 1; i <= 3; ++i) {
        n = (i == 1 ? 8 : i == 2 ? 15 : 256)
        o = v["crc_ours_ns_" n]; b = v["crc_boost_ns_" n]
        row("ModbusCrc16, " n "-byte frame", f(o, 1) " ns (Boost " f(b, 1) " ns, " f(b / o, 2) "x)", "<= Boost", yn(o <= b))
    }
    row("ModbusCrc16 = Boost crc_optimal, 0..300 bytes x 20 random", v["crc_same_as_boost"] ? "identical" : "DIFFERENT", "identical", yn(v["crc_same_as_boost"] == 1))
    row("BuildReadRequest (status poll)", f(v["build_status_poll_ns"], 1) " ns", "-", "-")
    row("BuildWriteSingle (11 bytes)", f(v["build_write_single_ns"], 1) " ns", "-", "-")
    row("BuildWriteRequest (setpoint pair, 13 bytes)", f(v["build_setpoint_pair_ns"], 1) " ns", "-", "-")
    row("DispatchReply, status block (readouts rewritten)", f(v["dispatch_status_ns"], 1) " ns", "-", "-")
    row("DispatchReply, ignored exception reply", f(v["dispatch_ignored_ns"], 1) " ns", "-", "-")

    n = v["poll_period_ms_n"]
    row("Status poll period, median of " n, f(v["poll_period_ms_median"], 2) " ms", "500 ms +-1%", yn(abs(v["poll_period_ms_median"] - 500) <= 5))
    row("Status poll period, p99 of " n " (min..max)", f(v["poll_period_ms_p99"], 2) " ms (" f(v["poll_period_ms_min"], 2) ".." f(v["poll_period_ms_max"], 2) ")", "500 ms +-5%", yn(abs(v["poll_period_ms_p99"] - 500) <= 25))
    row("Reply last byte -> readouts written, median (p99) of " v["reply_to_readout_ms_n"], f(v["reply_to_readout_ms_median"], 1) " ms (" f(v["reply_to_readout_ms_p99"], 1) ")", "<= 2 x 30 ms + 5", yn(v["reply_to_readout_ms_median"] <= 65))
    row("Reply first byte -> readouts written, median (p99)", f(v["reply_first_byte_to_readout_ms_median"], 1) " ms (" f(v["reply_first_byte_to_readout_ms_p99"], 1) ")", "2 x 30 ms +-5", yn(abs(v["reply_first_byte_to_readout_ms_median"] - 60) <= 5))
    row("Command click -> frame, line free, median (max) of " v["cmd_free_ms_n"], f(v["cmd_free_ms_median"], 2) " ms (" f(v["cmd_free_ms_max"], 2) ")", "0 ms (< 5)", yn(v["cmd_free_ms_median"] < 5))
    row("Command during a poll: poll -> frame, median (p99) of " v["cmd_inflight_from_poll_ms_n"], f(v["cmd_inflight_from_poll_ms_median"], 1) " ms (" f(v["cmd_inflight_from_poll_ms_p99"], 1) ")", "200 ms release: median +-1%, p99 +-5%", yn(abs(v["cmd_inflight_from_poll_ms_median"] - 200) <= 2 && abs(v["cmd_inflight_from_poll_ms_p99"] - 200) <= 10))
    row("Command during a poll: click -> frame, min..max (clicks 20..180 ms after the poll)", f(v["cmd_inflight_from_click_ms_min"], 1) ".." f(v["cmd_inflight_from_click_ms_max"], 1) " ms", "200 ms - click offset", "-")
    row("Scan probe period, median (p99; min..max) of " v["scan_period_ms_n"], f(v["scan_period_ms_median"], 2) " ms (" f(v["scan_period_ms_p99"], 2) "; " f(v["scan_period_ms_min"], 2) ".." f(v["scan_period_ms_max"], 2) ")", "1000 ms: median +-1%, p99 +-5%", yn(abs(v["scan_period_ms_median"] - 1000) <= 10 && abs(v["scan_period_ms_p99"] - 1000) <= 50))
    row("Sequence step spacing - dwell (1, 2, 1 s), median (largest deviation) of " v["seq_gap_deviation_ms_n"] " gaps", f(v["seq_gap_deviation_ms_median"], 2) " ms (" f(v["seq_gap_abs_deviation_max_ms"], 2) ")", "0: median +-10 ms, all +-50 ms", yn(abs(v["seq_gap_deviation_ms_median"]) <= 10 && v["seq_gap_abs_deviation_max_ms"] <= 50))

    row("CPU time per minute, monitor polling, mean (max) over " f(v["poll_seconds"], 0) " s", f(v["cpu_ms_per_min_mean"], 0) " ms = " f(v["cpu_ms_per_min_mean"] / 600, 3) "% of a core (" f(v["cpu_ms_per_min_max"], 0) " ms)", "< 600 ms (1%)", yn(v["cpu_ms_per_min_max"] < 600))
    row("Polls answered", v["poll_replies"] " of " v["poll_count"], "all", yn(v["poll_replies"] >= v["poll_count"] - 1 && v["poll_count"] > 0))
    row("Resident memory, main window shown", f(v["startup_rss_mb"], 1) " MB", "< 60 MB", yn(v["startup_rss_mb"] < 60))
    row("Resident memory, polling: start / after " f(v["warm_seconds"], 0) " s / end", f(v["rss_mb_start"], 1) " / " f(v["rss_mb_warm"], 1) " / " f(v["rss_mb_end"], 1) " MB", "< 60 MB", yn(v["rss_mb_max"] < 60))
    row("Resident memory growth, " f(v["warm_seconds"], 0) " s to end (" f(v["poll_seconds"], 0) " s)", f(v["rss_kb_growth"], 0) " kB", "none (judged on runs of 5 min or more)", v["poll_seconds"] >= 300 ? yn(v["rss_kb_growth"] <= 0) : "-")
    row("Trend, 172,800 readings, full redraw at " v["trend_width"] "x" v["trend_height"] ", median of 30: 10 min shown / the whole day", f(v["trend_redraw_10min_ms_median"], 2) " / " f(v["trend_redraw_day_ms_median"], 2) " ms", "<= 20 ms", yn(v["trend_redraw_10min_ms_median"] <= 20 && v["trend_redraw_day_ms_median"] <= 20))
    row("Trend, 172,800 readings, one more appended and repainted, 10 min shown (the default), median of 200", f(v["trend_append_ms_median"], 2) " ms", "<= 5 ms", yn(v["trend_append_ms_median"] <= 5))
    row("Trend, the same with the whole day shown, median of 100", f(v["trend_append_day_ms_median"], 2) " ms", "-", "-")
    row("Same day in Qt Charts (3 line series, same size): redraw / append and repaint, median", f(v["charts_redraw_day_ms_median"], 1) " / " f(v["charts_append_day_ms_median"], 1) " ms", "-", "-")
    row("Resident memory, monitor panel shown / with the day in the trend (added)", f(v["trend_rss_monitor_mb"], 1) " / " f(v["trend_rss_day_mb"], 1) " MB (+" f(v["trend_rss_added_mb"], 1) ")", "<= 40 MB more", yn(v["trend_rss_added_mb"] <= 40))
    row("Overview, " v["overview_supplies"] " supplies at 9600 baud for " v["overview_seconds"] " s: gap between two readings of one supply, median / p99 / max", f(v["overview_refresh_gap_ms_median"], 0) " / " f(v["overview_refresh_gap_ms_p99"], 0) " / " f(v["overview_refresh_gap_ms_max"], 0) " ms", "<= 1200 ms", yn(v["overview_refresh_gap_ms_max"] <= 1200 && v["overview_unrefreshed_supplies"] == 0))
    row("Overview, the same: CPU of the tool", f(v["overview_cpu_percent"], 2) "% of a core", "<= 3%", yn(v["overview_cpu_percent"] <= 3))
    row("CPU time per minute, monitor polling with the trend shown at 1920x1080 (a maximised window), 10 min of readings in it, 10 min shown and following, mean (max) over " f(v["trend_poll_seconds"], 0) " s", f(v["trend_cpu_ms_per_min_mean"], 0) " ms = " f(v["trend_cpu_ms_per_min_mean"] / 600, 3) "% of a core (" f(v["trend_cpu_ms_per_min_max"], 0) " ms)", "<= 1200 ms (2%)", yn(v["trend_cpu_ms_per_min_max"] <= 1200))
    row("Reply last byte -> readouts written, trend shown and recording (" v["recording_rows"] " rows), median (p99) of " v["recording_reply_to_readout_ms_n"], f(v["recording_reply_to_readout_ms_median"], 1) " ms (" f(v["recording_reply_to_readout_ms_p99"], 1) ")", "as without: median within 1 ms", yn(abs(v["recording_reply_to_readout_ms_median"] - v["reply_to_readout_ms_median"]) <= 1))
    row("Plan run of " v["reports_checks"] " checks and " v["reports_readings"] " readings, 4 slots: JUnit, HTML and CSV written (" f(v["reports_bytes"] / 1e6, 1) " MB), median (max) of 5", f(v["reports_write_ms_median"], 0) " ms (" f(v["reports_write_ms_max"], 0) ")", "<= 2 s", yn(v["reports_write_ms_max"] <= 2000))
    row("History of one serial (" v["history_listed"] " runs) among " v["history_runs"] " runs in SQLite, listed with the file opened, median (max) of 25", f(v["history_list_ms_median"], 2) " ms (" f(v["history_list_ms_max"], 2) ")", "<= 20 ms", yn(v["history_list_ms_max"] <= 20))
    row("Start-up to main window painted, median (max) of " v["startup_runs"], f(v["startup_ms_median"], 1) " ms (" f(v["startup_ms_max"], 1) ")", "< 300 ms", yn(v["startup_ms_max"] < 300))
}' "$OUT/all.txt" | tee "$OUT/table.md"
tee -a "$OUT/table.md" < "$OUT/psuctl-rows.md"
tee -a "$OUT/table.md" < "$OUT/mqtt-rows.md"
tee -a "$OUT/table.md" < "$OUT/rtutcp-rows.md"
tee -a "$OUT/table.md" < "$OUT/serve-rows.md"
tee -a "$OUT/table.md" < "$OUT/scpi-rows.md"
tee -a "$OUT/table.md" < "$OUT/metrics-rows.md"
tee -a "$OUT/table.md" < "$OUT/plan-rows.md"
tee -a "$OUT/table.md" < "$OUT/simmemory-rows.md"
echo | tee -a "$OUT/table.md"
echo "Load average (1, 5, 15 min) before the timing and footprint runs: $LOAD_BEFORE; after: $(cut -d' ' -f1-3 /proc/loadavg); $(nproc) cores." | tee -a "$OUT/table.md"
