#!/usr/bin/env python3
"""Requests per second and latency of the daemon's read-only routes beside a
bare HTTP server with the same settings serving the same bytes (the ceiling).

Both run at once on different ports and are driven with wrk in turn, with
keep-alive clients; each cell is the median of --runs short runs. The history
table holds 1000 rows (inserted with sqlite3 before the daemon starts).

Usage: bench/http_bench.py [BUILD_DIR] [--seconds S] [--daemon EXE] [--runs N]
Targets: /version >= 0.9 x ceiling, cached /printers >= 0.8 x ceiling.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import bench_common as bc

CEILING_PORT = 3807
ROUTES = ["/version", "/printers", "/list", "/history"]
CLIENTS = [8, 32, 64]
TARGETS = {"/version": 0.9, "/printers": 0.8}


def seed_history(db_path, rows):
    values = ",".join(
        f"('{i:032x}','TRK{i}','/tmp/cache/{i:032x}.pdf',{10000 + i},'tb-label',0,"
        f"'2026-12-09 09:00:{i % 60:02d}','2026-12-09 09:00:{i % 60:02d}')"
        for i in range(rows))
    sql = ("INSERT INTO print_files (md5sum,RequestTrackingNumber,filePath,fileSize,printerName,"
           f"code,print_start_time,print_end_time) VALUES {values};")
    subprocess.run(["sqlite3", db_path], input=sql, text=True, check=True)


def to_ms(value, unit):
    return float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]


def wrk(port, path, clients, seconds):
    out = subprocess.run(
        ["wrk", "-t2", f"-c{clients}", f"-d{seconds}s", "--latency", f"http://127.0.0.1:{port}{path}"],
        check=True, capture_output=True, text=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    lat = {}
    for pct in ("50", "99"):
        m = re.search(rf"^\s+{pct}%\s+([\d.]+)(us|ms|s)\s*$", out, re.M)
        lat[pct] = to_ms(m.group(1), m.group(2))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors:
        sys.exit(f"{path} on port {port}: {errors.group(1)} failed answers")
    return rps, lat["50"], lat["99"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=bc.default_build())
    parser.add_argument("--daemon", help="daemon executable (default: BUILD/tillerbrook)")
    parser.add_argument("--seconds", type=int, default=2)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--routes", default=",".join(ROUTES), help="comma-separated routes to drive")
    parser.add_argument("--clients", default=",".join(map(str, CLIENTS)), help="comma-separated")
    args = parser.parse_args()
    exe = args.daemon or os.path.join(args.build, "tillerbrook")
    ceiling_exe = os.path.join(args.build, "bench", "bench_ceiling_server")

    with bc.Daemon(exe) as daemon, tempfile.TemporaryDirectory() as tmp:
        daemon.start()  # creates database.db
        daemon.stop()
        seed_history(os.path.join(daemon.folder, "database.db"), 1000)
        daemon.start()

        # Warm the printer cache and capture the exact bytes of every route.
        files = []
        content_type = None
        for route in ROUTES:
            status, content_type, body = bc.get(route)
            if status != 200:
                sys.exit(f"{route} answered {status}")
            name = os.path.join(tmp, route.strip("/") + ".body")
            with open(name, "wb") as f:
                f.write(body)
            files.append(f"{route}={name}")
            print(f"{route}: {len(body)} bytes")
        history = bc.get("/history")[2]
        print(f"history rows: {history.count(b'RequestTrackingNumber')}")

        ceiling = subprocess.Popen([ceiling_exe, str(CEILING_PORT), content_type] + files)
        try:
            if not bc.wait_port(CEILING_PORT, 10):
                sys.exit("ceiling server did not start")
            print(f"\nwrk -t2 -cN -d{args.seconds}s --latency, median of {args.runs} runs; "
                  "ratio = daemon req/s / ceiling req/s\n")
            print(f"{'route':<10}{'clients':>8}{'daemon r/s':>12}{'p50 ms':>8}{'p99 ms':>8}"
                  f"{'ceiling r/s':>13}{'p50 ms':>8}{'p99 ms':>8}{'ratio':>7}")
            ok = True
            for route in args.routes.split(","):
                for clients in map(int, args.clients.split(",")):
                    d, c = [], []
                    for _ in range(args.runs):  # alternate so drifting load hits both alike
                        d.append(wrk(bc.PORT, route, clients, args.seconds))
                        c.append(wrk(CEILING_PORT, route, clients, args.seconds))
                    dm = [statistics.median(x[i] for x in d) for i in range(3)]
                    cm = [statistics.median(x[i] for x in c) for i in range(3)]
                    ratio = dm[0] / cm[0]
                    target = TARGETS.get(route)
                    mark = "" if target is None else (" ok" if ratio >= target else " LOW")
                    ok = ok and (target is None or ratio >= target)
                    print(f"{route:<10}{clients:>8}{dm[0]:>12.0f}{dm[1]:>8.2f}{dm[2]:>8.2f}"
                          f"{cm[0]:>13.0f}{cm[1]:>8.2f}{cm[2]:>8.2f}{ratio:>7.2f}{mark}", flush=True)
            print("\ntargets met" if ok else "\ntargets NOT met")
        finally:
            ceiling.terminate()
            ceiling.wait()


if __name__ == "__main__":
    main()
