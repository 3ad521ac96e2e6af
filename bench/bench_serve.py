#!/usr/bin/python3
"""psuctl serve against psusim (supplies at 1, 5 and 17 on a pseudo-terminal
at 9600 8N1):
  - the status read (0x03, five registers at 0x1000) of address 1, sent
    straight to the serial line and then through serve on loopback: request
    written to the answer's last byte read, the same client code for both;
  - eight clients reading as fast as they can through one serve: how busy
    the bus is (from the simulator's own record of every frame: the line is
    idle from a reply's last byte to the next request) and each client's
    share.

  bench/bench_serve.py [build-dir]     prints Markdown table rows on stdout
  BENCH_QUICK=1                         fewer trips, a shorter run

Raw "key value" results go to <build-dir>/bench-results/serve.txt.
"""
import os
import re
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

import serial

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
OUT = os.path.join(BUILD, "bench-results")
os.makedirs(OUT, exist_ok=True)
QUICK = os.environ.get("BENCH_QUICK") == "1"
TRIPS = 60 if QUICK else 200
RUN_SECONDS = 10 if QUICK else 30
CLIENTS = 8
CHAR_MS = 10 / 9600 * 1000

# The read of five registers at 0x1000 from address 1, as RTU and as Modbus TCP.
RTU_READ = bytes.fromhex("01 03 10 00 00 05 81 09")
RTU_REPLY_BYTES = 15
PDU_READ = RTU_READ[1:6]


def tcp_read(transaction, unit):
    return struct.pack(">HHHB", transaction, 0, len(PDU_READ) + 1, unit) + PDU_READ


def receive(sock, count):
    data = b""
    while len(data) < count:
        piece = sock.recv(count - len(data))
        if not piece:
            raise ConnectionError("serve closed the connection")
        data += piece
    return data


def quantiles(values):
    ordered = sorted(values)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


sim_log_path = os.path.join(OUT, "serve-sim.txt")
sim_log = open(sim_log_path, "w")
sim = subprocess.Popen([os.path.join(BUILD, "psusim"), "-v"], stdout=sim_log, stderr=subprocess.STDOUT)
serve = None
try:
    for _ in range(100):
        with open(sim_log_path) as f:
            first = f.readline().strip()
        if first.startswith("/dev/"):
            break
        time.sleep(0.05)
    device = first

    # Straight to the serial line.
    direct = []
    line = serial.Serial(device, 9600, timeout=1)
    for _ in range(TRIPS):
        time.sleep(0.02)
        line.reset_input_buffer()
        begun = time.perf_counter()
        line.write(RTU_READ)
        reply = line.read(RTU_REPLY_BYTES)
        direct.append((time.perf_counter() - begun) * 1000)
        assert len(reply) == RTU_REPLY_BYTES, reply
    line.close()

    serve_log_path = os.path.join(OUT, "serve-log.txt")
    serve_log = open(serve_log_path, "w")
    serve = subprocess.Popen([os.path.join(BUILD, "psuctl"), "-p", device, "serve", "--listen", "127.0.0.1:0"],
                             stderr=serve_log)
    port = 0
    for _ in range(100):
        with open(serve_log_path) as f:
            found = re.search(r"serving .* on 127\.0\.0\.1:(\d+)", f.read())
        if found:
            port = int(found.group(1))
            break
        time.sleep(0.05)

    # The same read through serve.
    through = []
    with socket.create_connection(("127.0.0.1", port)) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for trip in range(TRIPS):
            time.sleep(0.02)
            begun = time.perf_counter()
            sock.sendall(tcp_read(trip, 1))
            answer = receive(sock, 7 + 12)
            through.append((time.perf_counter() - begun) * 1000)
            assert answer[7:9] == b"\x03\x0a", answer

    # Eight clients as fast as they can, on the three supplies in turn.
    counts = [0] * CLIENTS
    failures = [0] * CLIENTS
    start_line = sum(1 for _ in open(sim_log_path))
    barrier = threading.Barrier(CLIENTS + 1)
    deadline = [0.0]

    def client(index):
        unit = (1, 5, 17)[index % 3]
        with socket.create_connection(("127.0.0.1", port)) as sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            barrier.wait()
            transaction = 0
            while time.perf_counter() < deadline[0]:
                transaction = (transaction + 1) & 0xFFFF
                sock.sendall(tcp_read(transaction, unit))
                header = receive(sock, 7)
                transaction_back, _, length, unit_back = struct.unpack(">HHHB", header)
                pdu = receive(sock, length - 1)
                if transaction_back == transaction and unit_back == unit and pdu[:2] == b"\x03\x0a":
                    counts[index] += 1
                else:
                    failures[index] += 1

    threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
    for thread in threads:
        thread.start()
    deadline[0] = time.perf_counter() + RUN_SECONDS
    barrier.wait()
    for thread in threads:
        thread.join()
    time.sleep(0.3)

    # The bus's view: from the first request's arrival to the last reply's
    # last byte, the line is silent only between a reply's last byte and the
    # next request, which is serve's time (and the network's); the rest is
    # the simulator's frame gap, turnaround and reply at the character time.
    first_ms = None
    reply_end = None
    idle_ms = 0.0
    exchanges = 0
    with open(sim_log_path) as f:
        for text in list(f)[start_line:]:
            parts = text.split()
            if len(parts) < 4 or parts[2] not in ("<-", "->"):
                continue
            at = float(parts[0])
            count = sum(1 for p in parts[3:] if re.fullmatch(r"[0-9A-F]{2}", p))
            if parts[2] == "<-":
                if first_ms is None:
                    first_ms = at
                if reply_end is not None:
                    idle_ms += max(0.0, at - reply_end)
                exchanges += "(answered)" in text
            else:
                reply_end = at + (count - 1) * CHAR_MS
    wall_ms = reply_end - first_ms
    busy = 100 * (wall_ms - idle_ms) / wall_ms
finally:
    if serve:
        serve.terminate()
        serve.wait()
    sim.terminate()
    sim.wait()

direct_median, direct_p99 = quantiles(direct)
through_median, through_p99 = quantiles(through)
added = through_median - direct_median
equal = sum(counts) / CLIENTS
worst = max(abs(c - equal) / equal * 100 for c in counts)
results = {
    "serve_trips": TRIPS,
    "serve_direct_ms_median": direct_median,
    "serve_direct_ms_p99": direct_p99,
    "serve_through_ms_median": through_median,
    "serve_through_ms_p99": through_p99,
    "serve_added_ms_median": added,
    "serve_clients": CLIENTS,
    "serve_run_s": RUN_SECONDS,
    "serve_answers": sum(counts),
    "serve_failures": sum(failures),
    "serve_bus_exchanges": exchanges,
    "serve_bus_idle_ms": idle_ms,
    "serve_bus_wall_ms": wall_ms,
    "serve_bus_busy_percent": busy,
    "serve_share_worst_percent": worst,
}
with open(os.path.join(OUT, "serve.txt"), "w") as f:
    for key, value in results.items():
        f.write(f"{key} {value:.3f}\n" if isinstance(value, float) else f"{key} {value}\n")
    f.write("serve_client_answers " + ",".join(map(str, counts)) + "\n")


def row(figure, measured, target, met):
    print(f"| {figure} | {measured} | {target} | {'yes' if met else '**no**'} |")


row(f"psuctl serve: status read of address 1 on loopback, added to the direct line, median (p99) of {TRIPS}",
    f"{added:.2f} ms ({through_median:.2f} through serve, {direct_median:.2f} direct; p99 {through_p99:.2f} / "
    f"{direct_p99:.2f})", "<= 1 ms", added <= 1)
row(f"psuctl serve: {CLIENTS} clients reading as fast as they can for {RUN_SECONDS} s, bus busy",
    f"{busy:.1f} % ({exchanges} exchanges, {sum(failures)} failed)", ">= 90 %", busy >= 90 and not sum(failures))
row(f"psuctl serve: the same, each client's answers against an equal share",
    f"{min(counts)}..{max(counts)} of {equal:.1f} each: worst {worst:.1f} % off", "within +-20 %", worst <= 20)
