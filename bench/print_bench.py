#!/usr/bin/env python3
"""POST /print with base64 documents of growing size and report the time per
request and the daemon's peak resident memory, beside a baseline: the same
base64 text through `base64 -d | md5sum`.

The sizes are those of the base64 text, which is nearly the whole request
body (a document of 48 MiB would need 64 MiB of base64, above the daemon's
64 MiB body limit). The print program is a script that exits at once, so the
figures are the daemon's own work: receiving, parsing, hashing the text,
decoding, writing the cache file, hashing the file, starting the program and
recording the print. The PDF fit step is switched off per request: the
documents are random bytes, and the fit has its own measurements.

Usage: bench/print_bench.py [path/to/built/tillerbrook] [--runs N]
Targets: time at most 2.5 x the baseline; peak memory, above the idle
daemon's, at most 3 x the body.
"""
import argparse
import base64
import http.client
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1024 * 1024
SIZES_MIB = [1, 10, 48]


def wait_port(port, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def post(body):
    conn = http.client.HTTPConnection("127.0.0.1", 3806, timeout=300)
    start = time.perf_counter()
    conn.request("POST", "/print", body, {"Content-Type": "application/json"})
    reply = conn.getresponse().read()
    took = time.perf_counter() - start
    conn.close()
    return took, json.loads(reply)


def baseline(text_path):
    start = time.perf_counter()
    subprocess.run(f"base64 -d < '{text_path}' | md5sum > /dev/null", shell=True, check=True)
    return time.perf_counter() - start


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default_exe = os.path.join(here, "..", "build", "tillerbrook")
    parser = argparse.ArgumentParser()
    parser.add_argument("daemon", nargs="?", default=default_exe)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    try:
        socket.create_connection(("127.0.0.1", 3806), 0.5).close()
        sys.exit("port 3806 is taken by another process; try again when it is free")
    except OSError:
        pass
    folder = tempfile.mkdtemp(prefix="tb-bench-")
    try:
        exe = os.path.join(folder, "tillerbrook")
        shutil.copy2(args.daemon, exe)
        program = os.path.join(folder, "tillerbrook-print")
        with open(program, "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(program, 0o755)
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")}
        daemon = subprocess.Popen([exe, "/debug"], cwd="/", env=env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if not wait_port(3806, 20):
                sys.exit("daemon did not open port 3806 (is another one running?)")
            post(json.dumps({"LabelContent": "QUJD", "PrinterName": "bench"}))  # warm up
            idle = status_kib(daemon.pid, "VmRSS")
            print(f"daemon idle RSS: {idle / 1024:.1f} MiB; {args.runs} runs per size, medians\n")
            print(f"{'base64':>8} {'body':>9} {'request':>9} {'baseline':>9} {'ratio':>6} "
                  f"{'peak RSS':>9} {'peak/body':>9} {'(peak-idle)/body':>16}")
            time_ok, memory_ok = [], []
            for size_mib in SIZES_MIB:
                text_len = size_mib * MIB // 4 * 4
                document = os.urandom(text_len // 4 * 3)
                text = base64.b64encode(document).decode()
                body = json.dumps({"LabelContent": text, "PrinterName": "bench",
                                   "AutoScalePdfToPrinter": False}).encode()
                text_path = os.path.join(folder, "doc.b64")
                with open(text_path, "w") as f:
                    f.write(text)

                times, bases, peaks = [], [], []
                for _ in range(args.runs):
                    with open(f"/proc/{daemon.pid}/clear_refs", "w") as f:
                        f.write("5")  # peak RSS starts again from the current RSS
                    took, reply = post(body)
                    if reply.get("status") != "success":
                        sys.exit(f"print failed: {reply}")
                    times.append(took)
                    peaks.append(status_kib(daemon.pid, "VmHWM"))
                    bases.append(baseline(text_path))
                t, b, peak = statistics.median(times), statistics.median(bases), max(peaks)
                body_kib = len(body) / 1024
                ratio = t / b
                print(f"{size_mib:>5}MiB {len(body) / MIB:>7.1f}Mi {t * 1000:>7.0f}ms {b * 1000:>7.0f}ms "
                      f"{ratio:>6.2f} {peak / 1024:>7.1f}Mi {peak / body_kib:>9.2f} "
                      f"{(peak - idle) / body_kib:>16.2f}")
                # The daemon's idle memory is not the request's doing.
                time_ok.append(ratio <= 2.5)
                memory_ok.append((peak - idle) / body_kib <= 3)
            print(f"\ntime   (<= 2.5 x baseline):         {'met' if all(time_ok) else 'NOT met'}")
            print(f"memory (<= 3 x body, above idle):   {'met' if all(memory_ok) else 'NOT met'}")
        finally:
            daemon.terminate()
            try:
                daemon.wait(10)
            except subprocess.TimeoutExpired:
                daemon.kill()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
