#!/usr/bin/env python3
"""The daemon's own time per /print beyond starting the print program.

The print program beside the daemon copy is a shell script that exits at
once. In the same run, bench_spawn_time starts the same script the way the
daemon does (posix_spawn, waitpid), from a process grown to the daemon's
resident size; the difference of the medians is the daemon's own work for
one print of a 100 KiB document sent as base64.

The document is not fitted to the printer (AutoScalePdfToPrinter false)
except in the third row, which shows what the page-metrics query to the
printer adds when fitting is on (the random bytes are no PDF, so the fit
itself gives up and the original is printed).

--root /dev/shm puts the daemon copy, its database and its document cache
on a memory file system: the difference to a run on disk is what the disk
syncs (SQLite commit, cache folder sync) cost.

Usage: bench/print_overhead_bench.py [BUILD_DIR] [--daemon EXE] [--runs N]
                                     [--printer Q] [--root DIR] [--wal]
Target: at most 5 ms beyond the program start (rows without fitting).
"""
import argparse
import base64
import http.client
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import bench_common as bc

PROGRAM = "#!/bin/sh\nexit 0\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=bc.default_build())
    parser.add_argument("--daemon", help="daemon executable (default: BUILD/tillerbrook)")
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--root", help="folder for the daemon copy (e.g. /dev/shm: no disk syncs)")
    parser.add_argument("--wal", action="store_true",
                        help="switch database.db to write-ahead logging before the daemon starts")
    parser.add_argument("--printer", default="tb-label", help="queue named in the requests")
    args = parser.parse_args()
    spawn_exe = os.path.join(args.build, "bench", "bench_spawn_time")

    with bc.Daemon(args.daemon or os.path.join(args.build, "tillerbrook"), PROGRAM,
                   args.root) as daemon:
        if args.wal:
            daemon.start()  # creates database.db
            daemon.stop()
            subprocess.run(["sqlite3", os.path.join(daemon.folder, "database.db"),
                            "PRAGMA journal_mode=WAL;"], check=True, capture_output=True)
        daemon.start()
        program = os.path.join(daemon.folder, "tillerbrook-print")
        conn = http.client.HTTPConnection("127.0.0.1", bc.PORT, timeout=60)

        def print_once(document, fit=False):
            body = json.dumps({"LabelContent": base64.b64encode(document).decode(),
                               "PrinterName": args.printer, "AutoScalePdfToPrinter": fit})
            start = time.perf_counter()
            conn.request("POST", "/print", body, {"Content-Type": "application/json"})
            reply = json.loads(conn.getresponse().read())
            took = time.perf_counter() - start
            if reply.get("status") != "success":
                sys.exit(f"print failed: {reply}")
            return took

        print_once(os.urandom(1024))  # warm up: printer list, database
        # The timing program first grows to the daemon's size.
        rss_mib = bc.status_kib(daemon.proc.pid, "VmRSS") // 1024
        env = dict(os.environ, BENCH_TOUCH_MIB=str(rss_mib))
        prints, repeats, fits, spawns = [], [], [], []
        same = os.urandom(100 * 1024)
        for _ in range(args.runs):
            prints.append(print_once(os.urandom(100 * 1024)))  # new document each time
            repeats.append(print_once(same))                    # the same document again
            fits.append(print_once(same, fit=True))             # asks the printer's page metrics
            spawns.append(float(subprocess.run([spawn_exe, program, "3"], check=True, env=env,
                                               capture_output=True, text=True).stdout) / 1000)
        conn.close()

    p, r, f, s = (statistics.median(x) * 1000 for x in (prints, repeats, fits, spawns))
    where = f"daemon folder under {args.root or tempfile.gettempdir()}" + (", WAL" if args.wal else "")
    print(f"{where}; {args.runs} runs, medians; 100 KiB document ({len(base64.b64encode(same))} bytes of base64)")
    print(f"  program start (spawn/wait from a {rss_mib} MiB process, as large as the daemon) "
          f"{s:7.2f} ms")
    print(f"  /print, new document each time   {p:7.2f} ms  -> daemon's own {p - s:6.2f} ms "
          f"({p / s:.2f} x program start)")
    print(f"  /print, same document again      {r:7.2f} ms  -> daemon's own {r - s:6.2f} ms "
          f"({r / s:.2f} x program start)")
    print(f"  /print with fit to {args.printer:<14}  {f:7.2f} ms  -> daemon's own {f - s:6.2f} ms "
          f"({f / s:.2f} x program start; includes the printer page-metrics query)")
    ok = p - s <= 5 and r - s <= 5
    print("\ntarget met" if ok else "\ntarget NOT met")


if __name__ == "__main__":
    main()
