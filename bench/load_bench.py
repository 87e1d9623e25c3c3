#!/usr/bin/env python3
"""Sustained mixed load: keep-alive clients on /version, /printers, /history
and POST /print at once, each client pinned to one route, for a bounded
time. The second half of the run adds slow clients that send the header of a
request one byte at a time and never finish it; the normal clients must go on
being served.

print_files starts with --seed rows (default 1000, all that /history
answers), so /history costs the same throughout. Every request is checked:
a transport error, a status other than 200 or a /print reply whose "status"
is not "success" is a failure. Each print carries its own tracking number;
after the daemon has stopped, its rows in print_files must be exactly the
prints that were answered "success" (nothing lost, nothing twice). The daemon closes a connection after 20 requests;
clients reconnect, which is no failure.

The clients are Python threads and share one interpreter lock, so latencies
include the client's own queueing; compare the two phases with each other
rather than with other tools.

Usage: bench/load_bench.py [BUILD_DIR] [--daemon EXE] [--seconds 20] [--clients 64] [--slow 8]
                          [--seed 1000]
Exits non-zero on any failed request, a record mismatch, or a route that got
no answer while the slow clients were connected.
"""
import argparse
import base64
import http.client
import json
import os
import socket
import sqlite3
import sys
import threading
import time

import bench_common as bc

ROUTES = ["/version", "/printers", "/history", "/print"]
PRINT_HEADERS = {"Content-Type": "application/json"}
STALE = (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError)


def print_body(tracking):
    document = f"%PDF-1.4\n% load {tracking}\n1 0 obj <<>> endobj\n%%EOF\n".encode()
    return json.dumps({"LabelContent": base64.b64encode(document).decode(),
                       "PrinterName": "Bench Printer", "RequestTrackingNumber": tracking})


class Client(threading.Thread):
    """One keep-alive client on one route until `stop_at`."""

    def __init__(self, index, route, stop_at):
        super().__init__(daemon=True)
        self.index, self.route, self.stop_at = index, route, stop_at
        self.samples = []    # (finished at, seconds, ok)
        self.failures = []   # texts of the first few
        self.printed = []    # tracking numbers answered "success"
        self.reconnects = 0  # stale keep-alive connections replaced
        self.conn = None
        self.used = 0        # requests on the current connection
        self.stage = ""
        self.port = 0

    def exchange(self, method, body, headers):
        if self.conn is None:
            self.conn = http.client.HTTPConnection("127.0.0.1", bc.PORT, timeout=60)
            self.used = 0
        self.stage = "sending"
        self.conn.request(method, self.route, body, headers)
        self.port = self.conn.sock.getsockname()[1]
        self.stage = "awaiting the reply"
        reply = self.conn.getresponse()
        data = reply.read()
        self.used += 1
        if reply.will_close:  # the daemon's 20-request limit: next request reconnects
            self.conn.close()
            self.conn = None
        return reply.status, data

    def one(self, n):
        method, body, headers, tracking = "GET", None, {}, None
        if self.route == "/print":
            tracking = f"LB{self.index}-{n}"
            method, body, headers = "POST", print_body(tracking), PRINT_HEADERS
        start = time.perf_counter()
        try:
            try:
                status, data = self.exchange(method, body, headers)
            except STALE:
                # Closed by the daemon while idle: only a connection that has
                # already served requests may be replaced without a failure.
                if self.used == 0:
                    raise
                self.conn.close()
                self.conn = None
                self.reconnects += 1
                status, data = self.exchange(method, body, headers)
            error = None if status == 200 else f"HTTP {status}: {data[:200]!r}"
            if error is None and tracking is not None:
                reply = json.loads(data)
                if reply.get("status") == "success":
                    self.printed.append(tracking)
                else:
                    error = f"print {tracking}: {reply}"
        except (OSError, http.client.HTTPException, ValueError) as e:
            error = (f"{type(e).__name__}: {e} while {self.stage}, request {self.used + 1} "
                     f"on its connection (local port {self.port}), after {time.perf_counter() - start:.3f} s")
            if self.conn is not None:
                self.conn.close()
            self.conn = None
        end = time.perf_counter()
        self.samples.append((end, end - start, error is None))
        if error is not None and len(self.failures) < 5:
            self.failures.append(f"{self.route} {error}")

    def run(self):
        n = 0
        while time.perf_counter() < self.stop_at:
            self.one(n)
            n += 1
        if self.conn is not None:
            self.conn.close()


class Dribbler(threading.Thread):
    """Sends a request header one byte every `interval` seconds between
    `start_at` and `stop_at`, never reaching its end."""

    def __init__(self, start_at, stop_at, interval=0.5):
        super().__init__(daemon=True)
        self.start_at, self.stop_at, self.interval = start_at, stop_at, interval
        self.sent = 0
        self.outcome = "not started"

    def run(self):
        text = b"GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"x" * 4096
        time.sleep(max(0.0, self.start_at - time.perf_counter()))
        try:
            sock = socket.create_connection(("127.0.0.1", bc.PORT), 10)
        except OSError as e:
            self.outcome = f"connect failed: {e}"
            return
        try:
            while time.perf_counter() < self.stop_at and self.sent < len(text):
                sock.sendall(text[self.sent:self.sent + 1])
                self.sent += 1
                time.sleep(self.interval)
            sock.setblocking(False)
            try:
                data = sock.recv(4096)
                self.outcome = "closed by daemon" if not data else f"answered: {data[:60]!r}"
            except BlockingIOError:
                self.outcome = "open"
        except OSError as e:
            self.outcome = f"{type(e).__name__}: {e}"
        finally:
            sock.close()


def seed_history(db_path, rows):
    """Fills print_files before the run: with a full history from the start
    the cost of /history does not grow with every print, and the two phases
    stay comparable. Dated now, so the daily clean-up keeps them."""
    with sqlite3.connect(db_path) as db:
        db.executemany(
            "INSERT INTO print_files (md5sum,RequestTrackingNumber,filePath,fileSize,printerName,code,"
            "print_start_time,print_end_time) VALUES (?,?,?,?,'Bench Printer',0,"
            "datetime('now','localtime'),datetime('now','localtime'))",
            [(f"{i:032x}", f"SEED{i}", f"/tmp/cache/{i:032x}.pdf", 10000 + i) for i in range(rows)])


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    return sorted_values[min(len(sorted_values) - 1, int(p * len(sorted_values)))]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=bc.default_build())
    parser.add_argument("--daemon", help="daemon executable (default: BUILD/tillerbrook)")
    parser.add_argument("--seconds", type=float, default=20, help="whole run; slow clients in the second half")
    parser.add_argument("--clients", type=int, default=64, help="spread evenly over the routes")
    parser.add_argument("--slow", type=int, default=8, help="slow clients in the second half")
    parser.add_argument("--seed", type=int, default=1000,
                        help="history rows before the run (/history answers at most 1000)")
    args = parser.parse_args()
    exe = args.daemon or os.path.join(args.build, "tillerbrook")
    if not os.path.exists(exe):
        sys.exit(f"no daemon at {exe}")

    failed = []
    with bc.Daemon(exe, print_program="#!/bin/sh\nexit 0\n") as daemon:
        log = os.path.join(daemon.folder, "daemon.log")
        daemon.start(log=log)  # creates database.db
        daemon.stop()
        seed_history(os.path.join(daemon.folder, "database.db"), args.seed)
        daemon.start(log=log)
        # Warm up: printer cache, PDF library, database pages.
        warm = Client(-1, "/print", 0)
        warm.one(0)
        for route in ROUTES[:3]:
            status, _, _ = bc.get(route)
            if status != 200:
                sys.exit(f"{route} answered {status} before the run")
        if warm.failures:
            sys.exit(f"warm-up print failed: {warm.failures[0]}")

        load_start = os.getloadavg()[0]
        begin = time.perf_counter()
        half, stop_at = begin + args.seconds / 2, begin + args.seconds
        clients = [Client(i, ROUTES[i % len(ROUTES)], stop_at) for i in range(args.clients)]
        dribblers = [Dribbler(half, stop_at) for _ in range(args.slow)]
        for t in clients + dribblers:
            t.start()
        for t in clients + dribblers:
            t.join()
        load_end = os.getloadavg()[0]
        daemon.stop()

        # Records, read once the daemon has closed the database.
        with sqlite3.connect(os.path.join(daemon.folder, "database.db")) as db:
            rows = [r[0] for r in db.execute(
                "SELECT RequestTrackingNumber FROM print_files WHERE RequestTrackingNumber LIKE 'LB%'")]
        printed = warm.printed + [p for c in clients for p in c.printed]
        missing = sorted(set(printed) - set(rows))
        extra = sorted(set(rows) - set(printed))
        twice = len(rows) - len(set(rows))

        low, high = args.clients // len(ROUTES), -(-args.clients // len(ROUTES))
        per_route = f"{low}" if low == high else f"{low}-{high}"
        print(f"{args.clients} clients ({per_route} per route), {args.seconds:g} s; {args.slow} slow clients "
              f"in the second half (one header byte / 0.5 s); {args.seed} history rows before; "
              f"load average {load_start:.1f} -> {load_end:.1f}\n")
        print(f"{'route':<10}{'clients':>8}  {'phase':<8}{'requests':>9}{'req/s':>8}"
              f"{'p50 ms':>8}{'p99 ms':>9}{'failures':>9}")
        phases = [("alone", begin, half), (f"+{args.slow} slow", half, stop_at + 60)]
        for route in ROUTES:
            group = [c for c in clients if c.route == route]
            for name, lo, hi in phases:
                samples = [s for c in group for s in c.samples if lo <= s[0] < hi]
                lat = sorted(s[1] * 1000 for s in samples)
                bad = sum(1 for s in samples if not s[2])
                span = min(hi, stop_at) - lo
                print(f"{route:<10}{len(group):>8}  {name:<8}{len(samples):>9}{len(samples) / span:>8.0f}"
                      f"{percentile(lat, 0.5):>8.1f}{percentile(lat, 0.99):>9.1f}{bad:>9}")
                if bad:
                    failed.append(f"{route}: {bad} failed requests in the {name} phase")
                if group and lo == half and args.slow and len(samples) - bad == 0:
                    failed.append(f"{route}: no answer while the slow clients were connected")
        reconnects = sum(c.reconnects for c in clients)
        print(f"\nprints answered success: {len(printed)}; rows in print_files: {len(rows)} "
              f"(missing {len(missing)}, unexpected {len(extra)}, twice {twice})")
        print(f"stale keep-alive connections replaced: {reconnects}")
        if dribblers:
            outcomes = {}
            for d in dribblers:
                outcomes[d.outcome] = outcomes.get(d.outcome, 0) + 1
            print("slow clients at the end: " + ", ".join(f"{n} {o}" for o, n in outcomes.items()) +
                  f"; header bytes sent each: {min(d.sent for d in dribblers)}-{max(d.sent for d in dribblers)}")
        if missing or extra or twice:
            failed.append(f"records do not match the successful prints: missing {missing[:5]}, "
                          f"unexpected {extra[:5]}, {twice} twice")
        for c in clients:
            for text in c.failures:
                print(f"  failure: {text}")
        if failed:
            with open(log, errors="replace") as f:
                tail = f.readlines()[-15:]
            print("\ndaemon log, last lines:\n" + "".join("  " + line for line in tail))
    if failed:
        print("\nFAILED:\n  " + "\n  ".join(failed))
        sys.exit(1)
    print("\nno failures; every successful print recorded once")


if __name__ == "__main__":
    main()
