#!/usr/bin/env python3
"""The printer list against a real scheduler: cold (first request after a
daemon start, empty cache) and cached /printers, with the queues there are
now and again with --queues extra raw queues added with lpadmin (removed
afterwards). Baseline in the same run: `lpstat -p`, which asks the scheduler
for every queue with one request, and /version on the daemon.

Needs a running scheduler (scripts/cups-test-env.sh) and root for lpadmin.
Usage: bench/printers_bench.py [BUILD_DIR] [--queues 1000] [--daemon EXE] [--runs N]
Targets: 1000 queues: cold < 1 s, cached < 5 ms; few queues: cold < 50 ms.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import bench_common as bc

PREFIX = "tbq"


def queue_names(count):
    return [f"{PREFIX}{i:04d}" for i in range(1, count + 1)]


def add_queue(name):
    subprocess.run(["lpadmin", "-p", name, "-v", "file:///dev/null", "-m", "raw", "-E"],
                   check=True, capture_output=True)


def remove_queue(name):
    subprocess.run(["lpadmin", "-x", name], capture_output=True)


def timed(cmd):
    start = time.perf_counter()
    subprocess.run(cmd, check=True, capture_output=True)
    return time.perf_counter() - start


def measure(daemon, runs, label, cold_limit, cached_limit):
    colds, counts = [], set()
    for _ in range(runs):
        daemon.stop()
        daemon.start()
        took, status, body = bc.timed_get("/printers")
        if status != 200:
            sys.exit(f"/printers answered {status}")
        counts.add(len(json.loads(body)))
        colds.append(took)
    cached = [bc.timed_get("/printers")[0] for _ in range(50)]
    version = [bc.timed_get("/version")[0] for _ in range(50)]
    lpstat = [timed(["lpstat", "-p"]) for _ in range(runs)]
    if max(counts) > 100:
        cold_limit = 1.0  # the limits for a large installation
    cold, hot = statistics.median(colds), statistics.median(cached)
    ver, lp = statistics.median(version), statistics.median(lpstat)
    print(f"{label}: {sorted(counts)} printers listed")
    print(f"  cold /printers   {cold * 1000:8.2f} ms  (limit {cold_limit * 1000:.0f} ms) "
          f"= {cold / lp:.2f} x `lpstat -p` ({lp * 1000:.2f} ms)")
    print(f"  cached /printers {hot * 1000:8.2f} ms  (limit {cached_limit * 1000:.0f} ms) "
          f"= {hot / ver:.2f} x /version ({ver * 1000:.2f} ms)", flush=True)
    return cold < cold_limit and hot < cached_limit


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=bc.default_build())
    parser.add_argument("--daemon", help="daemon executable (default: BUILD/tillerbrook)")
    parser.add_argument("--queues", type=int, default=1000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--keep-queues", action="store_true")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root (lpadmin)")

    ok = True
    with bc.Daemon(args.daemon or os.path.join(args.build, "tillerbrook")) as daemon:
        ok &= measure(daemon, args.runs, "existing queues", 0.05, 0.005)
        names = queue_names(args.queues)
        if not names:
            print("\ntargets met" if ok else "\ntargets NOT met")
            return
        daemon.stop()  # leave the port free to others while the queues are made
        start = time.perf_counter()
        try:
            with ThreadPoolExecutor(4) as pool:
                list(pool.map(add_queue, names))
            print(f"\nadded {len(names)} queues in {time.perf_counter() - start:.0f} s", flush=True)
            ok &= measure(daemon, args.runs, f"existing + {args.queues} queues", 1.0, 0.005)
        finally:
            if not args.keep_queues:
                with ThreadPoolExecutor(4) as pool:
                    list(pool.map(remove_queue, names))
    print("\ntargets met" if ok else "\ntargets NOT met")


if __name__ == "__main__":
    main()
