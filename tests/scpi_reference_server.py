#!/usr/bin/env python3
"""A SCPI meter of a few lines, written apart from psutool's own code, for the
tests of its SCPI client: raw socket, one message per line.

    scpi_reference_server.py PORTFILE

Listens on a free port of 127.0.0.1 and writes it to PORTFILE. Answers:
*IDN?; CONF...; READ? (the next of 12.0003, 12.0007, 12.0001, 12.0005, in
turn); SYST:ERR? (its queue, then 0,"No error"); OVER? (the overload value);
MUTE? (never answered); BYE (closes the connection). Anything else puts
-113,"Undefined header" in the queue.
"""
import socketserver
import sys

READINGS = ["12.0003", "12.0007", "12.0001", "12.0005"]


class Meter(socketserver.StreamRequestHandler):
    def handle(self):
        errors = []
        turn = 0
        for raw in self.rfile:
            for command in raw.decode("latin-1").strip().split(";"):
                command = command.strip().upper()
                if command == "*IDN?":
                    self.wfile.write(b"Test Meters,DM-1,SN0042,1.0\n")
                elif command.startswith("CONF") or command.startswith(":VOLT") or command == "*RST" or command == "*CLS":
                    pass
                elif command == "READ?":
                    self.wfile.write((READINGS[turn % len(READINGS)] + "\n").encode())
                    turn += 1
                elif command == "SYST:ERR?":
                    self.wfile.write((errors.pop(0) if errors else '0,"No error"').encode() + b"\n")
                elif command == "OVER?":
                    self.wfile.write(b"9.9E37\n")
                elif command == "MUTE?":
                    pass
                elif command == "BYE":
                    return
                else:
                    errors.append('-113,"Undefined header"')


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


if __name__ == "__main__":
    server = Server(("127.0.0.1", 0), Meter)
    with open(sys.argv[1] + ".tmp", "w") as f:
        f.write(str(server.server_address[1]))
    import os
    os.rename(sys.argv[1] + ".tmp", sys.argv[1])
    server.serve_forever()
