#!/usr/bin/env python3
"""Writes the seed corpus: real replies of the supplies, each behind the two
bytes the fuzz targets read first (model number, flags)."""
import os

def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])

def frame(*parts):
    body = bytes(parts)
    return body + crc16(body)

def regs(*values):
    out = []
    for v in values:
        out += [v >> 8, v & 0xFF]
    return out

replies = {
    # status: 12.00 V / 1.500 A set, 12.00 V / 1.200 A measured, output on
    "status_on": frame(1, 0x03, 10, *regs(1200, 1500, 1200, 1200, 1)),
    "status_off": frame(5, 0x03, 10, *regs(2400, 1000, 0, 0, 0)),
    "status_cc": frame(17, 0x03, 10, *regs(500, 2000, 400, 2000, 1)),
    "status_max": frame(1, 0x03, 10, *regs(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF, 0x0101)),
    "status_crc_spoilt": frame(1, 0x03, 10, *regs(1200, 1500, 1200, 1200, 1))[:-2] + b"\x00\x00",
    "ack_voltage": frame(1, 0x10, *regs(0x1000, 1)),
    "ack_calibration": frame(1, 0x10, *regs(0x101A, 1)),
    "power": frame(1, 0x03, 2, *regs(1440)),
    "scan_answer": frame(9, 0x03, 2, *regs(9)),
    "exception_02": frame(1, 0x83, 0x02),
    "exception_write": frame(1, 0x90, 0x03),
    "ten_bytes": frame(1, 0x03, 4, *regs(1, 2))[:10],
    "short_status": frame(1, 0x03, 10, *regs(1200, 1500, 1200, 1200, 1))[:13],
    "stray_then_ack": b"\x00\xff" + frame(1, 0x10, *regs(0x1000, 1)),
    "two_replies": frame(1, 0x10, *regs(0x1000, 1)) + frame(1, 0x03, 10, *regs(1, 2, 3, 4, 1)),
    "flood": bytes((i * 37 + 11) & 0xFF for i in range(520)),
}

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
os.makedirs(here, exist_ok=True)
for name, reply in replies.items():
    for model, flags, tag in ((1, 0, "m1"), (10, 0, "m10"), (0, 0, "none"), (1, 1, "power"), (2, 2, "cal")):
        with open(os.path.join(here, f"{name}_{tag}"), "wb") as f:
            f.write(bytes([model, flags]) + reply)
