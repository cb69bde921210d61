#!/usr/bin/env python3
"""Server memory and store size under create-and-delete churn.

  bench/run_retention_bench.py [--build DIR] [--live N] [--churn N]
      [--batch N]

A tree of N live files (100 per directory) lies on a tmpfs of its own,
which a dirsync server follows. After its start-up scan, the churn creates
files in batches in a directory of the root, lets the server record them,
and deletes them again, until the given number of files has come and gone.
The server's resident memory (VmRSS) and its store's size are taken before
and after the churn; then a second server scans the same tree into a fresh
store, whose size is the reference for the churned store.

Prints one line per figure:
  retention churn=N rss_before_kib=.. rss_after_kib=.. rss_growth_kib=..
  retention_store churned_bytes=.. fresh_bytes=.. ratio=.. compactions=..
Needs root (the server follows a filesystem, and the tmpfs is mounted).
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def log(text):
    print(f"[retention bench {time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """A dirsync server in a program directory of its own (name), following
    vol/Bench with task "bench"."""

    def __init__(self, build, work, volume, name):
        self.dir = Path(work) / name
        self.dir.mkdir(parents=True)
        shutil.copy2(build / "bin" / "dirsync", self.dir / "dirsync")
        (self.dir / "dirsync.ini").write_text(
            f"[drives]\nD = {volume}\n[task-1]\nname = bench\npath = D:\\Bench\n"
            f"timeout = 100\n[DB]\nPORT = {free_port()}\n")
        self.log_path = self.dir / "dirsync.log"
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen([self.dir / "dirsync"], stdout=self.log,
                                        stderr=subprocess.STDOUT)
        deadline = time.time() + 600
        while "filecount=" not in self.text():
            if time.time() > deadline or self.process.poll() is not None:
                raise RuntimeError("dirsync did not finish its scan:\n" + self.text()[-3000:])
            time.sleep(0.1)

    def text(self):
        return self.log_path.read_text(errors="replace")

    def rss_kib(self):
        for line in Path(f"/proc/{self.process.pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
        return 0

    def store_bytes(self):
        return (self.dir / "data" / "bench.db").stat().st_size

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=120)
        self.log.close()


def settle(server, seconds=1.0, limit=120):
    """Waits until the store has not grown for `seconds`."""
    last = server.store_bytes()
    still = time.time()
    deadline = time.time() + limit
    while time.time() < deadline:
        time.sleep(0.1)
        size = server.store_bytes()
        if size != last:
            last, still = size, time.time()
        elif time.time() - still >= seconds:
            return


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--live", type=int, default=15000)
    parser.add_argument("--churn", type=int, default=200000)
    parser.add_argument("--batch", type=int, default=5000)
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root: the server follows a filesystem and a tmpfs is mounted")
    build = (ROOT / args.build).resolve()
    work = Path(tempfile.mkdtemp(prefix="dirsync-retention-bench-"))
    volume = work / "vol"
    volume.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2g", "dirsync-retention", str(volume)],
                   check=True)
    servers = []
    try:
        root = volume / "Bench"
        for i in range(args.live):
            d = root / f"d{i // 100:04d}"
            if i % 100 == 0:
                d.mkdir(parents=True)
            (d / f"file{i:06d}.txt").write_bytes(b"x" * (i % 50))
        churn_dir = root / "churn"
        churn_dir.mkdir()
        server = Server(build, work, volume, "server")
        servers.append(server)
        settle(server)
        rss_before = server.rss_kib()
        store_before = server.store_bytes()
        log(f"{args.live} live files: rss {rss_before} KiB, store {store_before} bytes")
        done = 0
        started = time.time()
        while done < args.churn:
            n = min(args.batch, args.churn - done)
            names = [churn_dir / f"c{done + i:07d}.tmp" for i in range(n)]
            for p in names:
                p.write_bytes(b"")
            settle(server, 0.4)
            for p in names:
                p.unlink()
            settle(server, 0.4)
            done += n
            log(f"{done} files churned: rss {server.rss_kib()} KiB, store "
                f"{server.store_bytes()} bytes")
        took = time.time() - started
        # The last deletions may still be applied a little after the store
        # last grew (a loaded machine splits them over several batches):
        # memory is read once the server has been quiet a while.
        settle(server, 2.0)
        rss_after = server.rss_kib()
        store_after = server.store_bytes()
        compactions = len(re.findall(r"compacted:", server.text()))
        server.stop()
        fresh = Server(build, work, volume, "fresh")
        servers.append(fresh)
        settle(fresh)
        fresh_bytes = fresh.store_bytes()
        print(f"retention churn={args.churn} live={args.live} seconds={took:.1f} "
              f"rss_before_kib={rss_before} rss_after_kib={rss_after} "
              f"rss_growth_kib={rss_after - rss_before}", flush=True)
        print(f"retention_store churned_bytes={store_after} fresh_bytes={fresh_bytes} "
              f"ratio={store_after / fresh_bytes:.2f} compactions={compactions}", flush=True)
    finally:
        for s in servers:
            if s.process.poll() is None:
                s.stop()
        subprocess.run(["umount", str(volume)])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
