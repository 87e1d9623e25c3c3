#!/usr/bin/env python3
"""Hostile load: for each kind of hostile request, 32 clients send it over
and over for a few seconds while a probe asks GET /version every 100 ms on a
fresh connection. Reports per kind the worst and median /version latency,
the daemon's peak resident memory during the kind (VmHWM, reset before each
kind), its log growth, and what the hostile clients got back.

Before the load, each hostile body is also sent once on its own, to report
the peak memory one such request takes (--single-only stops there).

Usage: bench/hostile_load.py [BUILD_DIR] [--daemon EXE] [--seconds 6] [--clients 32]
                             [--kinds k1,k2] [--single-only]
Exits non-zero when a /version probe failed or took a second or more.
"""
import argparse
import http.client
import multiprocessing
import os
import socket
import sys
import threading
import time

import bench_common as bc

MIB = 1 << 20


def deep_array(size):
    return b"[" * size


def deep_object(size):
    unit = b'{"a":'
    return unit * (size // len(unit))


def huge_token(size):
    # A string that the parser quotes whole in its message: a control byte
    # at its end makes it malformed only once it has been read.
    return b'{"value":"' + b"x" * size + b'\x01"}'


def invalid_utf8():
    return b'{"key":"k","value":"\xff\xfe"}'


def post(path, body, timeout=60, chunked=False):
    """One POST on its own connection; (status, reply length) or (None, error)."""
    sock = socket.create_connection(("127.0.0.1", bc.PORT), timeout)
    try:
        if chunked:
            head = (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
                    "Connection: close\r\n\r\n").encode()
            sock.sendall(head)
            for piece in body:
                sock.sendall(b"%x\r\n" % len(piece) + piece + b"\r\n")
            sock.sendall(b"0\r\n\r\n")
        else:
            head = (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(body)}\r\n"
                    "Connection: close\r\n\r\n").encode()
            sock.sendall(head)
            sock.sendall(body)
        data = bytearray()
        while True:
            part = sock.recv(65536)
            if not part:
                break
            data += part
        status = int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/1.1 ") else None
        return status, len(data)
    except OSError as e:
        return None, f"{type(e).__name__}"
    finally:
        sock.close()


def chunks(total, piece=MIB):
    block = b"a" * piece
    sent = 0
    while sent < total:
        n = min(piece, total - sent)
        yield block[:n]
        sent += n


def slow_head(stop_at):
    """Part of a request head, one byte every half second, never finished."""
    text = b"GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"x" * 4096
    try:
        sock = socket.create_connection(("127.0.0.1", bc.PORT), 10)
    except OSError as e:
        return None, type(e).__name__
    try:
        for i in range(len(text)):
            if time.perf_counter() >= stop_at:
                return "open", 0
            sock.sendall(text[i:i + 1])
            time.sleep(0.5)
        return "open", 0
    except OSError:
        return "closed by daemon", 0
    finally:
        sock.close()


def silent(stop_at):
    """Connects and sends nothing."""
    try:
        sock = socket.create_connection(("127.0.0.1", bc.PORT), 10)
    except OSError as e:
        return None, type(e).__name__
    try:
        sock.settimeout(max(0.1, stop_at - time.perf_counter()))
        return ("closed by daemon" if not sock.recv(1) else "answered"), 0
    except socket.timeout:
        return "open", 0
    except OSError:
        return "closed by daemon", 0
    finally:
        sock.close()


BODIES = {}


def body(name, make):
    """Built once and shared: the clients' own work stays small."""
    if name not in BODIES:
        BODIES[name] = make()
    return BODIES[name]


KINDS = {
    "slow-head": lambda stop: slow_head(stop),
    "silent": lambda stop: silent(stop),
    "deep-array-print": lambda stop: post("/print", body("array", lambda: deep_array(16 * MIB))),
    "deep-object-setup": lambda stop: post("/setup", body("object", lambda: deep_object(16 * MIB))),
    "huge-token-print": lambda stop: post("/print", body("token", lambda: huge_token(8 * MIB))),
    "huge-token-setup": lambda stop: post("/setup", body("token", lambda: huge_token(8 * MIB))),
    "invalid-utf8-setup": lambda stop: post("/setup", invalid_utf8()),
    "chunked-flood-setup": lambda stop: post("/setup", chunks(80 * MIB), chunked=True),
    "chunked-flood-print": lambda stop: post("/print", chunks(80 * MIB), chunked=True),
}

SINGLE = [
    ("/print", "16 MiB of [", lambda: deep_array(16 * MIB)),
    ("/print", '16 MiB of {"a":', lambda: deep_object(16 * MIB)),
    ("/setup", "16 MiB of [", lambda: deep_array(16 * MIB)),
    ("/setup", '16 MiB of {"a":', lambda: deep_object(16 * MIB)),
    ("/remove", "16 MiB of [", lambda: deep_array(16 * MIB)),
    ("/print", "8 MiB token + control byte", lambda: huge_token(8 * MIB)),
    ("/setup", "8 MiB token + control byte", lambda: huge_token(8 * MIB)),
]


def reset_peak(pid):
    try:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def probe_loop(seconds, out):
    """Runs in its own process, so that the hostile clients' interpreter
    lock never delays a probe."""
    samples = []
    stop_at = time.perf_counter() + seconds
    while time.perf_counter() < stop_at:
        start = time.perf_counter()
        try:
            conn = http.client.HTTPConnection("127.0.0.1", bc.PORT, timeout=10)
            conn.request("GET", "/version")
            reply = conn.getresponse()
            reply.read()
            ok = reply.status == 200
            conn.close()
        except OSError:
            ok = False
        samples.append((time.perf_counter() - start, ok))
        time.sleep(max(0.0, 0.1 - (time.perf_counter() - start)))
    out.send(samples)


def run_kind(name, clients, seconds, pid, log):
    stop_at = time.perf_counter() + seconds
    results = []
    lock = threading.Lock()

    def worker():
        while time.perf_counter() < stop_at:
            r = KINDS[name](stop_at)
            with lock:
                results.append(r)

    KINDS[name](time.perf_counter())  # bodies built before the clock runs
    stop_at = time.perf_counter() + seconds
    reset_peak(pid)
    log_before = os.path.getsize(log)
    threads = [threading.Thread(target=worker, daemon=True) for _ in range(clients)]
    for t in threads:
        t.start()
    time.sleep(0.3)  # the hostile clients are in place before probing
    receive, send = multiprocessing.Pipe(duplex=False)
    prober = multiprocessing.Process(target=probe_loop, args=(stop_at - time.perf_counter(), send))
    prober.start()
    samples = receive.recv()
    prober.join()
    for t in threads:
        t.join(120)
    latencies = sorted(s for s, _ in samples)
    failed = sum(1 for _, ok in samples if not ok)
    outcomes = {}
    for status, extra in results:
        key = str(status)
        outcomes[key] = outcomes.get(key, 0) + 1
    replies = [extra for status, extra in results if isinstance(extra, int) and extra]
    return {
        "worst": latencies[-1] if latencies else float("nan"),
        "median": latencies[len(latencies) // 2] if latencies else float("nan"),
        "probes": len(samples), "failed": failed,
        "peak_mib": bc.status_kib(pid, "VmHWM") / 1024,
        "log_kib": (os.path.getsize(log) - log_before) / 1024,
        "outcomes": outcomes, "max_reply": max(replies) if replies else 0,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", nargs="?", default=bc.default_build())
    parser.add_argument("--daemon", help="daemon executable (default: BUILD/tillerbrook)")
    parser.add_argument("--seconds", type=float, default=6)
    parser.add_argument("--clients", type=int, default=32)
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--single-only", action="store_true")
    args = parser.parse_args()
    exe = args.daemon or os.path.join(args.build, "tillerbrook")
    failed = []
    with bc.Daemon(exe) as daemon:
        log = os.path.join(daemon.folder, "daemon.log")
        daemon.start(log)
        pid = daemon.proc.pid
        time.sleep(0.5)
        print("single hostile bodies (peak resident memory of the daemon, reply and log sizes):")
        for path, what, make in SINGLE:
            body = make()
            reset_peak(pid)
            base = bc.status_kib(pid, "VmRSS") / 1024
            log_before = os.path.getsize(log)
            status, size = post(path, body)
            peak = bc.status_kib(pid, "VmHWM") / 1024
            grown = (os.path.getsize(log) - log_before) / 1024
            print(f"  {path:8} {what:28} body {len(body) / MIB:5.1f} MiB: status {status}, "
                  f"reply {size} B, log +{grown:.1f} KiB, peak {peak:7.1f} MiB (at rest {base:.1f})")
        if args.single_only:
            return
        print(f"\n{args.clients} hostile clients per kind, {args.seconds:g} s each; "
              "/version probed every 100 ms on a fresh connection:")
        for name in args.kinds.split(","):
            r = run_kind(name, args.clients, args.seconds, pid, log)
            print(f"  {name:22} /version worst {r['worst'] * 1000:7.1f} ms, median "
                  f"{r['median'] * 1000:6.1f} ms, {r['probes']} probes, {r['failed']} failed; "
                  f"peak {r['peak_mib']:7.1f} MiB, log +{r['log_kib']:.1f} KiB, "
                  f"largest reply {r['max_reply']} B; hostile outcomes {r['outcomes']}")
            if r["failed"] or r["worst"] >= 1.0:
                failed.append(name)
    if failed:
        print("\nFAILED (a /version probe failed or took 1 s or more): " + ", ".join(failed))
        sys.exit(1)
    print("\n/version answered within a second throughout")


if __name__ == "__main__":
    main()
