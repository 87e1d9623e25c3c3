#!/usr/bin/env python3
"""The request boundary under hostile requests, on the built daemon:

1. memory: for each kind of hostile request, sent once on its own, the
   daemon's peak resident memory above its resident memory at rest (VmHWM
   after a reset, minus VmRSS before), and the answer's status and length;
2. answers: the largest answer of each route with every bounded table full
   (1000 history rows and 1000 client keys at their longest values, each
   byte one that JSON escapes to six);
3. slow peers: slowhttptest in its modes -H, -B and -X with N connections
   from 127.0.0.1 while probes ask /version from 127.0.0.1 and 127.0.0.2 and
   POST /remove from 127.0.0.1 every 0.5 s: the worst probe times and
   failures (a 503 counts as an answer).

Only loopback addresses are used. Run it in a network namespace of its own:
    unshare -n sh -c 'ip link set lo up; bench/boundary_bench.py build'
Usage: bench/boundary_bench.py [BUILD_DIR] [--daemon EXE] [--parts memory,answers,slow]
                               [--seconds 30] [--connections 400]
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import zlib

import bench_common as bc

MIB = 1 << 20
HOST = b"Host: 127.0.0.1\r\n"


def exchange(head, body=b"", pieces=None, timeout=120, source=None):
    """Sends one request on its own connection; (status, answer length)."""
    sock = socket.socket()
    sock.settimeout(timeout)
    if source:
        sock.bind((source, 0))
    sock.connect(("127.0.0.1", bc.PORT))
    try:
        try:
            sock.sendall(head + body)
            for piece in pieces or []:
                sock.sendall(piece)
        except OSError:
            pass  # refused early: the answer may be there
        data = b""
        while b"\r\n\r\n" not in data:
            part = sock.recv(65536)
            if not part:
                return None, len(data)
            data += part
        headline, _, rest = data.partition(b"\r\n\r\n")
        length = 0
        for line in headline.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value)
        while len(rest) < length:
            part = sock.recv(1 << 20)
            if not part:
                break
            rest += part
        return int(headline.split()[1]), len(rest)
    finally:
        sock.close()


def post_head(path, extra=b"", length=None):
    framing = b"Content-Length: %d\r\n" % length if length is not None else b""
    return b"POST " + path.encode() + b" HTTP/1.1\r\n" + HOST + extra + framing + b"\r\n"


def chunks(total, size=MIB):
    piece = b"%x\r\n" % size + b"a" * size + b"\r\n"
    return [piece] * (total // size) + [b"0\r\n\r\n"]


def memory_cases():
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)  # gzip framing
    block = b"a" * MIB
    bomb = b"".join(packer.compress(block) for _ in range(512)) + packer.flush()
    label = b'{"LabelContent":"JVBERi0xLjQK","RequestTrackingNumber":"' + b"7" * (8 * MIB) + b'"}'
    key = b'{"key":"' + b"k" * (8 * MIB) + b'","value":"x"}'
    ranges = b"Range: bytes=" + b",".join([b"-"] * 2000) + b"\r\n"
    return [
        ("gzip bomb to /print", post_head("/print", b"Content-Encoding: gzip\r\n", len(bomb)), bomb, None),
        ("gzip bomb to /nowhere", post_head("/nowhere", b"Content-Encoding: gzip\r\n", len(bomb)), bomb, None),
        ("2000 ranges on /test", b"GET /test HTTP/1.1\r\n" + HOST + ranges + b"\r\n", b"", None),
        ("2000 ranges on /history", b"GET /history HTTP/1.1\r\n" + HOST + ranges + b"\r\n", b"", None),
        ("Chunked beside a length, 200 MiB", post_head("/print", b"Transfer-Encoding: Chunked\r\n", 5),
         b"", chunks(200 * MIB)),
        ("gzip, chunked", post_head("/setup", b"Transfer-Encoding: gzip, chunked\r\n"), b"", chunks(8 * MIB)),
        ("chunked 200 MiB to /print", post_head("/print", b"Transfer-Encoding: chunked\r\n"), b"",
         chunks(200 * MIB)),
        ("64 MiB length to /version", b"GET /version HTTP/1.1\r\n" + HOST + b"Content-Length: %d\r\n\r\n"
         % (64 * MIB), b"a" * (64 * MIB), None),
        ("unframed 80 MiB to /nowhere", post_head("/nowhere"), b"a" * (80 * MIB), None),
        ("8 MiB RequestTrackingNumber", post_head("/print", length=len(label)), label, None),
        ("8 MiB client key", post_head("/setup", length=len(key)), key, None),
        ("64 MiB body to /print", post_head("/print", length=64 * MIB), b" " * (64 * MIB), None),
    ]


def run_memory(exe):
    print("## Peak memory of one request above the daemon at rest\n")
    print("| case | status | answer bytes | peak above rest MiB |")
    print("|---|---:|---:|---:|")
    with bc.Daemon(exe) as d:
        shutil.copy(os.path.join(os.path.dirname(exe), "test.html"), d.folder)
        d.start()
        pid = d.proc.pid
        time.sleep(1)
        for name, head, body, pieces in memory_cases():
            rest = bc.status_kib(pid, "VmRSS")
            with open(f"/proc/{pid}/clear_refs", "w") as f:
                f.write("5")
            status, length = exchange(head, body, pieces)
            time.sleep(0.3)
            peak = bc.status_kib(pid, "VmHWM") - rest
            print(f"| {name} | {status} | {length} | {peak / 1024:.1f} |")
    print()


def seed_full_tables(db):
    ugly = "char(1)"
    rows = []
    for i in range(1000):
        rows.append("INSERT INTO print_files (md5sum,RequestTrackingNumber,filePath,fileSize,printerName,"
                    "code,print_start_time,print_end_time) VALUES "
                    f"('{i:032x}',replace(hex(zeroblob(256)),'00',{ugly}),"
                    f"replace(hex(zeroblob(4096)),'00',{ugly}),9999999,"
                    f"replace(hex(zeroblob(256)),'00',{ugly}),-2,"
                    "'2026-12-10 01:00:00.000','2026-12-10 01:00:00.000');")
    for i in range(1000):
        rows.append("INSERT INTO config (type,flag,key,value) VALUES ('',''," +
                    f"'{i:04d}'||replace(hex(zeroblob(252)),'00',{ugly}),"
                    f"replace(hex(zeroblob(256)),'00',{ugly}));")
    subprocess.run(["sqlite3", db], input="BEGIN;" + "\n".join(rows) + "COMMIT;", text=True, check=True)


def run_answers(exe):
    print("## Largest answer of each route (tables full, every byte escaped)\n")
    print("| route | status | answer bytes |")
    print("|---|---:|---:|")
    with bc.Daemon(exe) as d:
        shutil.copy(os.path.join(os.path.dirname(exe), "test.html"), d.folder)
        d.start()  # creates the schema
        d.stop()
        seed_full_tables(os.path.join(d.folder, "database.db"))
        d.start()
        for target in ["/", "/test", "/printers", "/jobs", "/list", "/history", "/version",
                       "/cancel?printerName=none"]:
            status, length = exchange(b"GET " + target.encode() + b" HTTP/1.1\r\n" + HOST + b"\r\n")
            print(f"| GET {target} | {status} | {length} |")
        for path, body in [("/setup", b'{"key":"k","value":"none"}'), ("/remove", b'{"key":"k"}'),
                           ("/print", b'{"filePath":"/nonexistent"}')]:
            status, length = exchange(post_head(path, length=len(body)), body)
            print(f"| POST {path} | {status} | {length} |")
    print()


class Probe(threading.Thread):
    """Asks one request every 0.5 s; keeps the worst time and the failures."""

    def __init__(self, name, head, body=b"", source=None):
        super().__init__(daemon=True)
        self.name, self.head, self.body, self.source = name, head, body, source
        self.times, self.failures, self.statuses, self.failed_after = [], 0, {}, []
        self.stop = threading.Event()

    def run(self):
        while not self.stop.is_set():
            start = time.perf_counter()
            try:
                status, _ = exchange(self.head, self.body, timeout=10, source=self.source)
            except OSError:
                status = None
            took = time.perf_counter() - start
            self.statuses[status] = self.statuses.get(status, 0) + 1
            if status is None:
                self.failures += 1
                self.failed_after.append(round(took, 2))
            else:
                self.times.append(took)
            self.stop.wait(max(0.0, 0.5 - took))


SLOW_MODES = {
    "-H": ["-H", "-u", "http://127.0.0.1:3806/version", "-i", "2", "-x", "24"],
    "-B": ["-B", "-u", "http://127.0.0.1:3806/setup", "-t", "POST", "-i", "2", "-x", "10", "-s", "8192"],
    "-X": ["-X", "-u", "http://127.0.0.1:3806/", "-k", "3", "-w", "256", "-y", "512", "-n", "5", "-z", "32"],
}


def run_slow(exe, seconds, connections):
    print(f"## slowhttptest, {connections} connections from 127.0.0.1, {seconds} s per mode\n")
    print("| mode | probe | answered | failed (after s) | worst s | statuses |")
    print("|---|---|---:|---:|---:|---|")
    for mode, args in SLOW_MODES.items():
        with bc.Daemon(exe) as d:
            d.start()
            probes = [
                Probe("/version from 127.0.0.1", b"GET /version HTTP/1.1\r\n" + HOST + b"\r\n"),
                Probe("/version from 127.0.0.2", b"GET /version HTTP/1.1\r\n" + HOST + b"\r\n",
                      source="127.0.0.2"),
                Probe("POST /remove from 127.0.0.1", post_head("/remove", length=2), b"{}"),
            ]
            slow = subprocess.Popen(["slowhttptest", "-c", str(connections), "-r", "200", "-l",
                                     str(seconds), "-p", "3"] + args,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(3)  # the connections open
            for p in probes:
                p.start()
            try:
                slow.wait(seconds + 30)
            except subprocess.TimeoutExpired:
                slow.kill()
                slow.wait()
            for p in probes:
                p.stop.set()
            for p in probes:
                p.join()
                worst = max(p.times) if p.times else float("nan")
                print(f"| {mode} | {p.name} | {len(p.times)} | {p.failures} {p.failed_after or ''} | "
                      f"{worst:.2f} | {p.statuses} |")
    print()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build", nargs="?", default=bc.default_build())
    ap.add_argument("--daemon")
    ap.add_argument("--parts", default="memory,answers,slow")
    ap.add_argument("--seconds", type=int, default=30)
    ap.add_argument("--connections", type=int, default=400)
    args = ap.parse_args()
    exe = args.daemon or os.path.join(args.build, "tillerbrook")
    parts = args.parts.split(",")
    if "memory" in parts:
        run_memory(exe)
    if "answers" in parts:
        run_answers(exe)
    if "slow" in parts:
        if not shutil.which("slowhttptest"):
            sys.exit("slowhttptest is missing (scripts/setup-deps.sh installs it)")
        run_slow(exe, args.seconds, args.connections)


if __name__ == "__main__":
    main()
