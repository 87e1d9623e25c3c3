#!/usr/bin/env python3
"""What replacing a cached document costs, by the way it is replaced.

The document cache rewrites a document under its old name for every print.
Three ways to put the new file in place, each followed by a small fsync of
another file on the same disk (what the print record's SQLite commit does
next):
  unlink+rename  remove the old name, then rename (a moment without the name)
  rename-over    rename onto the old name (atomic; ext4's auto_da_alloc then
                 writes the new data out at once and the fsync waits for it)
  exchange       renameat2(RENAME_EXCHANGE) with the old file, then unlink
                 the old one under the temporary name (atomic, no early
                 writeback)
Reported: medians of the replace itself, of the following fsync, and of the
MiB the disk wrote in the 200 ms after the replace (the early writeback;
/sys/block/<disk>/stat, so other writers on the disk add to it).

Usage: bench/cache_replace_bench.py [--dir DIR] [--mib N] [--runs N]
"""
import argparse
import ctypes
import os
import statistics
import tempfile
import time

RENAME_EXCHANGE = 2
AT_FDCWD = -100
libc = ctypes.CDLL(None, use_errno=True)


def exchange(a, b):
    if libc.renameat2(AT_FDCWD, a.encode(), AT_FDCWD, b.encode(), RENAME_EXCHANGE) != 0:
        raise OSError(ctypes.get_errno(), "renameat2")


def replace(way, tmp, target):
    if way == "unlink+rename":
        os.unlink(target)
        os.rename(tmp, target)
    elif way == "rename-over":
        os.rename(tmp, target)
    else:
        exchange(tmp, target)
        os.unlink(tmp)


def disk_stat_path(folder):
    dev = os.stat(folder).st_dev
    name = os.path.basename(os.path.realpath(f"/sys/dev/block/{os.major(dev)}:{os.minor(dev)}"))
    for candidate in (f"/sys/block/{name}/stat", f"/sys/class/block/{name}/stat"):
        if os.path.exists(candidate):
            return candidate
    return None


def sectors_written(path):
    if not path:
        return 0
    with open(path) as f:
        return int(f.read().split()[6])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", default=None)
    parser.add_argument("--mib", type=int, default=48)
    parser.add_argument("--runs", type=int, default=9)
    args = parser.parse_args()
    data = os.urandom(args.mib << 20)
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        target = os.path.join(folder, "doc.pdf")
        tmp = os.path.join(folder, "intake.pdf.partial")
        record = os.path.join(folder, "record")
        with open(target, "wb") as f:
            f.write(data)
        os.sync()
        stat = disk_stat_path(folder)
        print(f"{args.mib} MiB document in {folder}, {args.runs} runs each")
        for way in ("unlink+rename", "rename-over", "exchange"):
            moves, syncs, early = [], [], []
            for _ in range(args.runs):
                with open(tmp, "wb") as f:
                    f.write(data)
                before = sectors_written(stat)
                t0 = time.perf_counter()
                replace(way, tmp, target)
                t1 = time.perf_counter()
                time.sleep(0.2)
                early.append((sectors_written(stat) - before) * 512 / (1 << 20))
                t1b = time.perf_counter()
                fd = os.open(record, os.O_WRONLY | os.O_CREAT, 0o644)
                os.write(fd, b"x")
                os.fsync(fd)
                os.close(fd)
                t2 = time.perf_counter()
                moves.append((t1 - t0) * 1000)
                syncs.append((t2 - t1b) * 1000)
                os.sync()  # each run starts from a quiet disk
            print(f"{way:14s} replace {statistics.median(moves):7.2f} ms"
                  f"   next fsync {statistics.median(syncs):7.2f} ms"
                  f"   written early {statistics.median(early):6.1f} MiB")


if __name__ == "__main__":
    main()
