#!/usr/bin/env python3
"""A CUPS queue's device for the raw printing checks: prints the loopback port
it listens on (in the scheduler's network namespace: a check may run in one of
its own), then writes every byte of the first connection into <file>."""
import ctypes
import socket
import subprocess
import sys

cupsd = subprocess.run(["pgrep", "-o", "-x", "cupsd"], capture_output=True, text=True).stdout.strip()
if cupsd:
    with open("/proc/%s/ns/net" % cupsd) as ns:
        ctypes.CDLL(None, use_errno=True).setns(ns.fileno(), 0x40000000)  # CLONE_NEWNET
server = socket.create_server(("127.0.0.1", 0))
server.settimeout(60)
print(server.getsockname()[1], flush=True)
conn, _ = server.accept()
conn.settimeout(120)
with open(sys.argv[1], "wb") as out:
    while data := conn.recv(65536):
        out.write(data)
