#!/usr/bin/env python3
"""Raw printing end to end: a ZPL label posted to /print against the same
bytes handed to `lp -o raw`, both into one CUPS label queue whose device is
a listener here.

Each sample is one job, timed from the start of the request (or of `lp`)
until the listener holds every byte of the label, so both sides pay the
scheduler and its socket backend; the submission time alone (until the reply
or until `lp` exits) is reported beside it. Daemon and `lp` alternate, one
job at a time, after a warm-up job each.

Usage: sudo bench/raw_print_bench.py [BUILD_DIR] [--daemon EXE] [--jobs 20] [--kib 4,256]
Target: end-to-end median of /print at most 1.1 x that of `lp -o raw`.
Needs root and a running scheduler (scripts/cups-test-env.sh).
"""
import argparse
import base64
import ctypes
import http.client
import json
import os
import socket
import statistics
import subprocess
import sys
import threading
import time

import bench_common

QUEUE = "tb-bench-raw"


class Listener:
    """The queue's device: takes one connection at a time and says when a
    job's bytes have all arrived."""

    def __init__(self):
        # Made in the scheduler's network namespace (the bench may run in a
        # namespace of its own for port 3806); a namespace switch is per thread.
        made = []
        thread = threading.Thread(target=lambda: made.append(self.make_socket()))
        thread.start()
        thread.join()
        self.sock = made[0]
        self.port = self.sock.getsockname()[1]
        self.done = threading.Semaphore(0)
        self.sizes = []
        threading.Thread(target=self.serve, daemon=True).start()

    @staticmethod
    def make_socket():
        pid = subprocess.run(["pgrep", "-o", "-x", "cupsd"], capture_output=True,
                             text=True).stdout.strip()
        if pid:
            fd = os.open("/proc/%s/ns/net" % pid, os.O_RDONLY)
            ctypes.CDLL(None, use_errno=True).setns(fd, 0x40000000)  # CLONE_NEWNET
            os.close(fd)
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(8)
        return sock

    def serve(self):
        while True:
            conn, _ = self.sock.accept()
            size = 0
            with conn:
                while True:
                    data = conn.recv(1 << 16)
                    if not data:
                        break
                    size += len(data)
            self.sizes.append(size)
            self.done.release()

    def wait(self):
        if not self.done.acquire(timeout=60):
            raise SystemExit("the queue's device received nothing within 60 s")


def label(kib):
    """A ZPL label with a binary graphic field, padded to about `kib` KiB."""
    rows = max(1, kib * 1024 // 100)
    graphic = bytes((i * 37) % 256 for i in range(rows * 100))
    return (b"^XA^FO10,10^GFB,%d,%d,100," % (len(graphic), len(graphic)) + graphic +
            b"^FS^FO10,10^A0N,30,30^FDbench^FS^XZ\n")


def time_print(conn_body, listener):
    start = time.perf_counter()
    conn = http.client.HTTPConnection("127.0.0.1", bench_common.PORT, timeout=60)
    try:
        conn.request("POST", "/print", body=conn_body, headers={"Content-Type": "application/json"})
        reply = json.loads(conn.getresponse().read())
    finally:
        conn.close()
    submitted = time.perf_counter() - start
    if reply.get("status") != "success":
        raise SystemExit("raw /print failed: %r" % reply)
    listener.wait()
    return submitted, time.perf_counter() - start


def time_lp(path, listener):
    start = time.perf_counter()
    subprocess.run(["lp", "-d", QUEUE, "-o", "raw", path], check=True,
                   stdout=subprocess.DEVNULL)
    submitted = time.perf_counter() - start
    listener.wait()
    return submitted, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=bench_common.default_build())
    parser.add_argument("--daemon")
    parser.add_argument("--jobs", type=int, default=20)
    parser.add_argument("--kib", default="4,256")
    args = parser.parse_args()
    exe = args.daemon or os.path.join(args.build, "tillerbrook")
    if os.geteuid() != 0:
        raise SystemExit("needs root (a CUPS queue is made and removed)")

    listener = Listener()
    subprocess.run(["lpadmin", "-p", QUEUE, "-E", "-v", "socket://127.0.0.1:%d" % listener.port,
                    "-m", "drv:///sample.drv/zebra.ppd"], check=True, stderr=subprocess.DEVNULL)
    daemon = bench_common.Daemon(exe)
    try:
        subprocess.run([daemon.exe, "/allow-raw", QUEUE], check=True, stdout=subprocess.DEVNULL)
        daemon.start()
        print("| label KiB | /print submit ms | lp submit ms | /print end-to-end ms | lp end-to-end ms | ratio |")
        print("|---:|---:|---:|---:|---:|---:|")
        for kib in [int(k) for k in args.kib.split(",")]:
            data = label(kib)
            path = os.path.join(daemon.folder, "label.zpl")
            with open(path, "wb") as f:
                f.write(data)
            body = json.dumps({"LabelContent": base64.b64encode(data).decode(),
                               "fileExtension": "zpl", "PrinterName": QUEUE}).encode()
            time_print(body, listener)
            time_lp(path, listener)
            ours, theirs = [], []
            for _ in range(args.jobs):
                ours.append(time_print(body, listener))
                theirs.append(time_lp(path, listener))
            if any(size != len(data) for size in listener.sizes):
                raise SystemExit("the device received %r bytes, not %d" % (set(listener.sizes), len(data)))
            listener.sizes.clear()
            med = lambda samples, i: statistics.median(s[i] for s in samples) * 1000
            print("| %d | %.1f | %.1f | %.1f | %.1f | %.2f |" % (
                kib, med(ours, 0), med(theirs, 0), med(ours, 1), med(theirs, 1),
                med(ours, 1) / med(theirs, 1)))
    finally:
        daemon.close()
        subprocess.run(["lpadmin", "-x", QUEUE], stderr=subprocess.DEVNULL)


if __name__ == "__main__":
    sys.exit(main())
