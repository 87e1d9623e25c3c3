#!/usr/bin/env python3
"""Hostile HTTP input against a running daemon (the Windows build under
Wine): deep JSON, a chunked body past the limit, slow request heads.
Prints one line per check; exits 1 on the first failure.
Usage: hostile_http_check.py PORT"""
import json
import socket
import sys
import time

PORT = int(sys.argv[1])


def fail(text):
    print(f"FAIL: {text}")
    sys.exit(1)


def answer(sock):
    """One response: (status, lower-cased headers, body)."""
    data = b""
    while b"\r\n\r\n" not in data:
        part = sock.recv(65536)
        if not part:
            break
        data += part
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.strip().lower(): v.strip() for k, _, v in (l.partition(":") for l in lines[1:])}
    length = int(headers.get("content-length", "0"))
    while len(body) < length:
        part = sock.recv(65536)
        if not part:
            break
        body += part
    return int(lines[0].split()[1]), headers, body


def connect():
    return socket.create_connection(("127.0.0.1", PORT), 10)


def version_time():
    start = time.perf_counter()
    with connect() as s:
        s.sendall(b"GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        status, _, _ = answer(s)
    if status != 200:
        fail(f"/version answered {status}")
    return time.perf_counter() - start


# Nesting past 64 levels is answered like malformed JSON.
with connect() as s:
    body = b'{"key":' + b"[" * 100000 + b"}"
    s.sendall(b"POST /setup HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    status, _, reply = answer(s)
    msg = json.loads(reply).get("msg", "")
    if status != 200 or "nesting deeper than 64" not in msg:
        fail(f"deep /setup body: {status} {reply[:200]!r}")
print(f"deep JSON on /setup -> 200 {msg!r}")

# A chunked body past 64 MiB gets 413 with the CORS headers.
with connect() as s:
    s.settimeout(60)
    s.sendall(b"POST /setup HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n")
    piece = b"100000\r\n" + b"a" * (1 << 20) + b"\r\n"
    try:
        for _ in range(70):
            s.sendall(piece)
        s.sendall(b"0\r\n\r\n")
    except OSError:
        pass  # the answer may come before the rest is sent
    status, headers, _ = answer(s)
    if status != 413 or headers.get("access-control-allow-origin") != "*":
        fail(f"chunked 70 MiB /setup: {status} {headers}")
print("chunked 70 MiB on /setup -> 413 with CORS")

# /version answers while 16 connections hold part of a head.
slow = []
for _ in range(16):
    c = connect()
    c.sendall(b"GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
    slow.append(c)
worst = max(version_time() for _ in range(5))
if worst >= 1.0:
    fail(f"/version took {worst:.2f} s beside slow heads")
print(f"/version beside 16 slow heads: worst {worst * 1000:.0f} ms")

# A head dribbled a byte at a time is cut off within seconds.
c = slow[0]
start = time.perf_counter()
c.settimeout(0.4)
ended = False
while time.perf_counter() - start < 12:
    try:
        c.sendall(b"x")
        if c.recv(4096) is not None:
            ended = True
            break
    except socket.timeout:
        continue
    except OSError:
        ended = True
        break
took = time.perf_counter() - start
if not ended or took > 10:
    fail(f"dribbled head still open after {took:.1f} s")
print(f"dribbled head ended after {took:.1f} s")
for c in slow:
    c.close()

# The request boundary: no decoding, no ranges, one framing, this machine's
# names only.
BOUNDARY = [
    ("gzip body", b"POST /print HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Encoding: gzip\r\n"
                  b"Content-Length: 4\r\n\r\nabcd", 415),
    ("Chunked beside a length", b"POST /setup HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: Chunked\r\n"
                                b"Content-Length: 7\r\n\r\n2\r\n{}\r\n0\r\n\r\n", 400),
    ("gzip, chunked", b"POST /remove HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
                      b"2\r\n{}\r\n0\r\n\r\n", 400),
    ("bad range", b"GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=x\r\n\r\n", 200),
    ("foreign host", b"GET /history HTTP/1.1\r\nHost: rebind.example\r\n\r\n", 421),
]
for name, request, expected in BOUNDARY:
    with connect() as s:
        s.sendall(request)
        status, headers, _ = answer(s)
    if status != expected or "content-range" in headers or "content-encoding" in headers:
        fail(f"{name}: {status} {headers}")
    print(f"{name} -> {status}")
