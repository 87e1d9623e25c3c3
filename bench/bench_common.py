"""Shared pieces of the benchmark drivers: a daemon copy in a temp program
folder, waiting for ports, small HTTP calls."""
import http.client
import os
import shutil
import socket
import subprocess
import tempfile
import time

PORT = 3806
HERE = os.path.dirname(os.path.abspath(__file__))


def port_open(port):
    try:
        socket.create_connection(("127.0.0.1", port), 0.5).close()
        return True
    except OSError:
        return False


def wait_port(port, timeout=20, is_open=True):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if port_open(port) == is_open:
            return True
        time.sleep(0.02)
    return False


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def get(path, port=PORT, timeout=60):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request("GET", path)
        reply = conn.getresponse()
        return reply.status, reply.getheader("Content-Type"), reply.read()
    finally:
        conn.close()


def timed_get(path, port=PORT):
    start = time.perf_counter()
    status, _, body = get(path, port)
    return time.perf_counter() - start, status, body


class Daemon:
    """The built daemon copied into a temp folder and started with /debug."""

    def __init__(self, exe, print_program=None, root=None):
        if port_open(PORT):
            raise SystemExit(f"port {PORT} is taken by another process; try again when it is free")
        self.folder = tempfile.mkdtemp(prefix="tb-bench-", dir=root)
        self.exe = os.path.join(self.folder, "tillerbrook")
        shutil.copy2(exe, self.exe)
        if print_program is not None:
            path = os.path.join(self.folder, "tillerbrook-print")
            with open(path, "w") as f:
                f.write(print_program)
            os.chmod(path, 0o755)
        self.proc = None

    def start(self, log=None):
        """`log`: a file name for the daemon's output (default: discarded)."""
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")}
        out = open(log, "ab") if log else subprocess.DEVNULL
        started = time.perf_counter()
        try:
            self.proc = subprocess.Popen([self.exe, "/debug"], cwd="/", env=env,
                                         stdout=out, stderr=out)
        finally:
            if log:
                out.close()  # the child has its own copy
        if not wait_port(PORT, 30):
            self.stop()
            raise SystemExit(f"daemon did not open port {PORT}")
        return time.perf_counter() - started

    def stop(self):
        if self.proc is None:
            return
        self.proc.terminate()
        try:
            self.proc.wait(15)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc = None
        wait_port(PORT, 10, is_open=False)

    def close(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def default_build():
    return os.path.join(HERE, "..", "build-bench")
