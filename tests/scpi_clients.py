#!/usr/bin/python3
"""pyvisa (the pyvisa-py backend), PyMeasure and plain sockets against psuctl
scpi on simulated supplies, as a test engineer's script reaches them.

  scpi_clients.py PORT_A PORT_B PORT_SILENT

PORT_A serves a QELT30-05 at address 1, PORT_B a QELT60-05 at address 5 and
PORT_SILENT an address nothing answers. Stops at the first check that fails
(exit status 1); else prints one JSON object of what the line must show."""
import json
import socket
import sys
import threading

import pyvisa
from pymeasure.adapters import VISAAdapter
from pymeasure.instruments import Instrument
from pymeasure.instruments.validators import strict_discrete_set

PORT_A, PORT_B, PORT_SILENT = (int(port) for port in sys.argv[1:4])
resources = pyvisa.ResourceManager("@py")


def supply(port, timeout_ms=20000):
    instrument = resources.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                                         write_termination="\n")
    instrument.timeout = timeout_ms
    return instrument


def check(condition, what):
    if not condition:
        raise AssertionError(what)


# The supply as a user of PyMeasure writes it.
class Supply(Instrument):
    voltage = Instrument.control("VOLT?", "VOLT %g", "Voltage setpoint in V")
    current = Instrument.control("CURR?", "CURR %g", "Current setpoint in A")
    output_enabled = Instrument.control("OUTP?", "OUTP %d", "Output on", validator=strict_discrete_set,
                                        values={True: 1, False: 0}, map_values=True)
    measured_voltage = Instrument.measurement("MEAS:VOLT?", "Measured voltage in V")

    def __init__(self, resource, **kwargs):
        super().__init__(VISAAdapter(resource, visa_library="@py", read_termination="\n", write_termination="\n",
                                     timeout=20000), "Supply", **kwargs)


def raw_client(port):
    sock = socket.create_connection(("127.0.0.1", port), timeout=20)
    return sock, sock.makefile("rb")


writes_a = 0  # VoltageSetpoint writes to address 1 this script makes
a = supply(PORT_A)
idn = a.query("*IDN?").split(",")
check(len(idn) == 4 and idn[1:3] == ["QELT30-05", "1"], idn)
a.write("*RST")
writes_a += 1
check(a.query("OUTP?;VOLT?") == "0;0.00", "*RST: output off, voltage 0")
for notation in ("12", "1.2E1", "+12", "12.000V", "12 V", "12000 mV", "12.004"):
    a.write(f"VOLT {notation}")
    writes_a += 1
    check(a.query("VOLT?") == "12.00", notation)
a.write("OUTP ON")
check(a.query("OUTP?") == "1", "output on")
a.write("outp off")
check(a.query("output:state?") == "0", "output off")
a.write("OUTP 1")

# The error queue: a bad command, then a value out of range that is never sent.
a.write("VOLT:FOO 3")
check(a.query("SYST:ERR?").startswith('-113,"Undefined header;VOLT:FOO 3"'), "undefined header")
check(a.query("SYST:ERR?") == '0,"No error"', "queue empty")
a.write("VOLT 1000")
error = a.query("SYST:ERR?")
check(error.startswith('-222,"Data out of range;1000 V is outside'), error)
check(a.query("VOLT?;*ESR?") == "12.00;48", "nothing written; command and execution error bits")
a.write("VOLT 31.00")
writes_a += 1
a.write("VOLT 31.01")
check(a.query("VOLT?;SYST:ERR:COUN?") == "31.00;1", "the limit taken, one step beyond refused")
check(a.query("SYST:ERR?").startswith('-222,"Data out of range;31.01 V'), "one step beyond")
a.write("VOLT 12")
writes_a += 1

# A supply that does not answer: no answer, the read times out, -240 queued.
silent = supply(PORT_SILENT, timeout_ms=2000)
try:
    silent.query("MEAS:VOLT?")
    check(False, "an answer from a silent supply")
except pyvisa.errors.VisaIOError:
    pass
silent.timeout = 20000
error = silent.query("SYST:ERR?")
check(error.startswith("-240,"), error)

# Two clients at once, each on its own supply.
answers = {}


def client(port, values):
    instrument = supply(port)
    answers[port] = []
    for value in values:
        instrument.write(f"VOLT {value}")
        answers[port].append(instrument.query("VOLT?"))
    instrument.close()


values_a = [5, 6, 7, 8, 9, 10, 11, 12]
values_b = [40, 41, 42, 43, 44, 45, 46, 47]
threads = [threading.Thread(target=client, args=(PORT_A, values_a)),
           threading.Thread(target=client, args=(PORT_B, values_b))]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
writes_a += len(values_a)
check(answers[PORT_A] == [f"{v:.2f}" for v in values_a], answers)
check(answers[PORT_B] == [f"{v:.2f}" for v in values_b], answers)

# PyMeasure on the other supply.
b = Supply(f"TCPIP::127.0.0.1::{PORT_B}::SOCKET")
check("QELT60-05" in b.id, b.id)
b.voltage = 24
b.current = 1.5
b.output_enabled = True
check(b.voltage == 24.0 and b.current == 1.5 and b.output_enabled is True, "PyMeasure set and read back")
check(abs(b.measured_voltage - 24.0) <= 0.01, b.measured_voltage)

# Bad input, each on a socket of its own; the others go on.
sock, reader = raw_client(PORT_A)
sock.sendall(b"X" * 1_000_000 + b"\nSYST:ERR?\n")
check(reader.readline().startswith(b'-100,"Command error;a message longer than'), "1 MB")
sock.sendall(b"\x00\xff\x81VOLT 2\nSYST:ERR?;VOLT?\n")
check(reader.readline().startswith(b'-101,"Invalid character;'), "binary bytes")
sock.close()
half, _ = raw_client(PORT_A)
half.sendall(b"VOLT 3")
check(a.query("*OPC?") == "1", "a half command elsewhere holds nothing up")
half.close()
# A client that never reads its answers: a hundred *IDN? a message.
deaf = socket.create_connection(("127.0.0.1", PORT_B))
deaf.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
deaf.settimeout(20)
try:
    for _ in range(40):
        deaf.sendall(b";".join([b"*IDN?"] * 100) + b"\n")
except OSError:
    pass  # cut off already
check(a.query("*OPC?") == "1", "a client that never reads holds nothing up")

measured = float(a.query("MEAS:VOLT?"))
print(json.dumps({"voltage_writes_1": writes_a, "measured_1": measured}), flush=True)

# 500 connections at once: those beyond --max-clients are closed, the others go on.
crowd = []
for _ in range(500):
    try:
        crowd.append(socket.create_connection(("127.0.0.1", PORT_B), timeout=5))
    except OSError:
        pass
check(a.query("*IDN?").split(",")[1] == "QELT30-05", "served with 500 connections")
for sock in crowd:
    sock.close()
deaf.close()
check(a.query("SYST:ERR?") == '0,"No error"', "nothing queued for the first client")
