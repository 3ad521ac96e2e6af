#!/usr/bin/python3
"""psuctl scpi against psusim (supplies at 1, 5 and 17 on a pseudo-terminal at
9600 8N1): the read of OutputVoltage (0x03, one register at 0x1002) of
address 1 sent straight to the serial line, then MEAS:VOLT? from pyvisa
(pyvisa-py) through psuctl scpi on loopback: request written to the answer
read, and the median of the difference.

  bench/bench_scpi.py [build-dir]     prints a Markdown table row on stdout
  BENCH_QUICK=1                       fewer trips

Raw "key value" results go to <build-dir>/bench-results/scpi.txt.
"""
import os
import re
import statistics
import subprocess
import sys
import time

import pyvisa
import serial

BUILD = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
OUT = os.path.join(BUILD, "bench-results")
os.makedirs(OUT, exist_ok=True)
TRIPS = 60 if os.environ.get("BENCH_QUICK") == "1" else 200


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


READ = bytes.fromhex("01 03 10 02 00 01")
READ += crc16(READ)
REPLY_BYTES = 7


def quantiles(values):
    ordered = sorted(values)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


def wait_for(path, pattern):
    for _ in range(200):
        with open(path) as f:
            found = re.findall(pattern, f.read())
        if found:
            return found
        time.sleep(0.05)
    raise RuntimeError(f"nothing like {pattern} in {path}")


sim_log_path = os.path.join(OUT, "scpi-sim.txt")
sim = subprocess.Popen([os.path.join(BUILD, "psusim")], stdout=open(sim_log_path, "w"), stderr=subprocess.STDOUT)
scpi = None
try:
    device = wait_for(sim_log_path, r"(/dev/\S+)")[0]
    line = serial.Serial(device, 9600, timeout=1)
    direct = []
    for _ in range(TRIPS):
        time.sleep(0.02)
        line.reset_input_buffer()
        begun = time.perf_counter()
        line.write(READ)
        reply = line.read(REPLY_BYTES)
        direct.append((time.perf_counter() - begun) * 1000)
        assert len(reply) == REPLY_BYTES, reply
    line.close()

    scpi_log_path = os.path.join(OUT, "scpi-log.txt")
    scpi = subprocess.Popen([os.path.join(BUILD, "psuctl"), "-p", device, "scpi", "-a", "1", "-m", "QELT30-05",
                             "--listen", "127.0.0.1:0"], stderr=open(scpi_log_path, "w"))
    port = int(wait_for(scpi_log_path, r"serving address 1 .* on 127\.0\.0\.1:(\d+)")[0])
    psu = pyvisa.ResourceManager("@py").open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                                                      write_termination="\n")
    through = []
    for _ in range(TRIPS):
        time.sleep(0.02)
        begun = time.perf_counter()
        answer = psu.query("MEAS:VOLT?")
        through.append((time.perf_counter() - begun) * 1000)
        float(answer)
    psu.close()
finally:
    if scpi:
        scpi.terminate()
        scpi.wait()
    sim.terminate()
    sim.wait()

direct_median, direct_p99 = quantiles(direct)
through_median, through_p99 = quantiles(through)
added = through_median - direct_median
with open(os.path.join(OUT, "scpi.txt"), "w") as f:
    f.write(f"scpi_direct_median_ms {direct_median:.3f}\nscpi_through_median_ms {through_median:.3f}\n"
            f"scpi_added_median_ms {added:.3f}\n")
print(f"| psuctl scpi: MEAS:VOLT? from pyvisa on loopback, added to the direct read of OutputVoltage, median (p99) "
      f"of {TRIPS} | {added:.2f} ms ({through_median:.2f} through scpi, {direct_median:.2f} direct; p99 "
      f"{through_p99:.2f} / {direct_p99:.2f}) | <= 1 ms | {'yes' if added <= 1.0 else 'no'} |")
