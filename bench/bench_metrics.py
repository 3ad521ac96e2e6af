#!/usr/bin/python3
"""psuctl's metrics for Prometheus: psuctl status --watch reading 32 simulated
supplies (psusim, 115200 8N1) with --metrics, and a client scraping /metrics
as Prometheus does:
  - the answer time of /metrics, connect to the last byte of the page;
  - a scrape every second for a minute: the CPU time of the metrics thread
    (psuctl-metrics, from /proc/PID/task/TID/stat) over the wall time, and the
    whole process's beside it.

  bench/bench_metrics.py [build-dir]   prints Markdown table rows on stdout
  BENCH_QUICK=1                         fewer trips, 20 s of scrapes

Raw "key value" results go to <build-dir>/bench-results/metrics.txt.
"""
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
OUT = os.path.join(BUILD, "bench-results")
os.makedirs(OUT, exist_ok=True)
QUICK = os.environ.get("BENCH_QUICK") == "1"
TRIPS = 60 if QUICK else 200
SCRAPE_SECONDS = 20 if QUICK else 60
SUPPLIES = 32
TICK = os.sysconf("SC_CLK_TCK")


def scrape(port):
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.sendall(b"GET /metrics HTTP/1.1\r\nHost: bench\r\nAccept: text/plain\r\n\r\n")
        data = b""
        while True:
            piece = sock.recv(65536)
            if not piece:
                return data
            data += piece


def cpu_ticks(path):
    fields = open(path).read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


work = tempfile.mkdtemp(prefix="bench-metrics-")
link = os.path.join(work, "tty")
supplies = [a for n in range(1, SUPPLIES + 1) for a in ("-s", f"{n}:QELT30-05")]
sim = subprocess.Popen([os.path.join(BUILD, "psusim"), "--link", link, "--line", "115200,n,8,1", *supplies],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
for _ in range(200):
    if os.path.exists(link):
        break
    time.sleep(0.05)
log = open(os.path.join(work, "psuctl.txt"), "w+")
ctl = subprocess.Popen([os.path.join(BUILD, "psuctl"), "-p", link, "-b", "115200", "status", "-a", f"1-{SUPPLIES}",
                        "-m", "QELT30-05", "--watch", "1000", "--format", "csv", "--metrics", "127.0.0.1:0",
                        "--bench", "bench"], stdout=subprocess.DEVNULL, stderr=log)
try:
    port = 0
    for _ in range(200):
        log.seek(0)
        found = re.search(r"metrics on http://127\.0\.0\.1:(\d+)/metrics", log.read())
        if found:
            port = int(found.group(1))
            break
        time.sleep(0.05)
    # Every supply read once at least.
    for _ in range(400):
        page = scrape(port)
        if page.count(b"\npsu_output_volts{") == SUPPLIES:
            break
        time.sleep(0.05)
    body = page.split(b"\r\n\r\n", 1)[1]
    series = sum(1 for line in body.split(b"\n") if line and not line.startswith(b"#"))

    times = []
    for _ in range(TRIPS):
        start = time.perf_counter()
        scrape(port)
        times.append((time.perf_counter() - start) * 1000)
        time.sleep(0.01)
    ordered = sorted(times)
    median = statistics.median(ordered)
    p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]

    task = next(os.path.join(f"/proc/{ctl.pid}/task", t) for t in os.listdir(f"/proc/{ctl.pid}/task")
                if open(f"/proc/{ctl.pid}/task/{t}/comm").read().strip() == "psuctl-metrics")
    thread_before = cpu_ticks(os.path.join(task, "stat"))
    process_before = cpu_ticks(f"/proc/{ctl.pid}/stat")
    begun = time.monotonic()
    for n in range(1, SCRAPE_SECONDS + 1):
        scrape(port)
        time.sleep(max(0, begun + n - time.monotonic()))
    wall = time.monotonic() - begun
    thread_percent = (cpu_ticks(os.path.join(task, "stat")) - thread_before) / TICK / wall * 100
    process_percent = (cpu_ticks(f"/proc/{ctl.pid}/stat") - process_before) / TICK / wall * 100
finally:
    ctl.terminate()
    sim.terminate()
    ctl.wait()
    sim.wait()

with open(os.path.join(OUT, "metrics.txt"), "w") as raw:
    print(f"metrics_page_bytes {len(body)}\nmetrics_series {series}\nmetrics_answer_ms_median {median:.3f}\n"
          f"metrics_answer_ms_p99 {p99:.3f}\nmetrics_answer_ms_max {ordered[-1]:.3f}\n"
          f"metrics_thread_cpu_percent {thread_percent:.4f}\nmetrics_process_cpu_percent {process_percent:.3f}\n"
          f"metrics_scrape_seconds {wall:.1f}", file=raw)
yes = lambda met: "yes" if met else "**no**"
print(f"| psuctl status --watch --metrics, {SUPPLIES} supplies ({series} series, {len(body) // 1024} KiB): /metrics "
      f"answered, connect to last byte, median (p99; max) of {TRIPS} | {median:.2f} ms ({p99:.2f}; {ordered[-1]:.2f}) "
      f"| <= 5 ms | {yes(p99 <= 5)} |")
print(f"| The same, a scrape every 1 s for {wall:.0f} s: CPU of the metrics thread (the whole psuctl, polling "
      f"{SUPPLIES} supplies every second) | {thread_percent:.3f} % of a core ({process_percent:.2f} %) | <= 0.5 % "
      f"| {yes(thread_percent <= 0.5)} |")
