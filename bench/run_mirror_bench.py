#!/usr/bin/env python3
"""The mirroring client beside rsync on the same machine and the same trees.

  bench/run_mirror_bench.py [--build DIR] [--client PATH] [--small N]
      [--large N] [--large-mib M] [--rounds R] [--removal N] [--zip]
      [--compare OTHER_CLIENT]

First full mirror: a tree of N small files (1-8 KiB, 100 per directory)
and N large files of M MiB lies on a tmpfs of its own, which a dirsync
server follows (its quiet period off). Each round copies the tree twice
into fresh directories on the disk of /tmp, in alternating order: once
with `dirsync-client mirror` (a run that ends once it has caught up) and
once with `rsync -a`. Both read the same files and write to a second
tmpfs of their own, which the server's journal does not follow (a tmpfs
keeps the figures free of the shared disk's writeback).

Removal: a following client mirrors the task; a tree of about N entries is
copied into the root with `cp -a` and timed until the mirror holds all of
it, then removed with `rm -rf` and timed until the mirror no longer holds
it.

Change latency: a following client and lsyncd (rsync, delay 0) each
mirror a directory of their own; in turns, one 4 KiB file is written into
one of them and timed until its copy in the mirror is identical.

Idle cost: the server's CPU time over 20 s while it follows the tree with
one following client connected and nothing changes, beside watchman's
over 20 s watching the same tree (after its crawl).

Prints one line per figure ("first_mirror ... dirsync=S rsync=S ratio=R",
"removal entries=N create=S remove=S", "latency samples=N dirsync=MS
lsyncd=MS", "idle seconds=S entries=N dirsync=CPU watchman=CPU"). Needs root (the server follows a
filesystem, and the tmpfs is mounted for the run).
"""

import argparse
import os
import random
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def log(text):
    print(f"[mirror bench {time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_tree(root, small, large, large_mib, seed=7):
    """small files of 1-8 KiB, 100 per directory, and large files of
    large_mib MiB each (incompressible bytes)."""
    rng = random.Random(seed)
    blob = os.urandom(8192 + 4096)
    for i in range(small):
        d = root / f"d{i // 100:04d}"
        if i % 100 == 0:
            d.mkdir(parents=True, exist_ok=True)
        size = rng.randint(1024, 8192)
        start = rng.randint(0, 4096)
        (d / f"f{i:06d}.txt").write_bytes(blob[start:start + size])
    big = root / "large"
    big.mkdir(parents=True, exist_ok=True)
    chunk = os.urandom(1 << 20)
    for i in range(large):
        with open(big / f"large{i:03d}.bin", "wb") as f:
            for m in range(large_mib):
                f.write(chunk[m % 7:] + chunk[:m % 7])


def tree_totals(root):
    files = 0
    size = 0
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if d != ".dirsync"]
        for name in filenames:
            if name.startswith(".dirsync-download-"):
                continue  # a download under way
            try:
                size += os.lstat(os.path.join(dirpath, name)).st_size
                files += 1
            except FileNotFoundError:
                pass  # renamed or removed while counted
    return files, size


class Server:
    """A dirsync server in a program directory of its own, following the
    directory vol/Bench with task "bench" and user "bench"."""

    def __init__(self, build, work, volume):
        self.dir = Path(work) / "server"
        (self.dir / "user").mkdir(parents=True)
        (self.dir / "user" / "bench-bench").write_text("token")
        shutil.copy2(build / "bin" / "dirsync", self.dir / "dirsync")
        self.port = free_port()
        (self.dir / "dirsync.ini").write_text(
            f"[drives]\nD = {volume}\n[task-1]\nname = bench\npath = D:\\Bench\n"
            f"timeout = -1\n[DB]\nPORT = {self.port}\n")
        self.log_path = self.dir / "dirsync.log"
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen([self.dir / "dirsync"], stdout=self.log,
                                        stderr=subprocess.STDOUT)
        deadline = time.time() + 600
        while "filecount=" not in self.log_path.read_text(errors="replace"):
            if time.time() > deadline or self.process.poll() is not None:
                raise RuntimeError("dirsync did not finish its scan:\n" +
                                   self.log_path.read_text(errors="replace")[-3000:])
            time.sleep(0.1)
        (Path(work) / "token").write_text("token")
        self.token = Path(work) / "token"

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=120)
        self.log.close()


def client_args(client, server, mirror, zip_flag, follow=False, interval_ms=20):
    args = [client, "mirror", "--host", "127.0.0.1", "--port", str(server.port),
            "--task", "bench", "--user", "bench", "--token-file", str(server.token)]
    if zip_flag:
        args.append("--zip")
    if follow:
        args += ["--follow", "--interval-ms", str(interval_ms)]
    return [str(a) for a in args + [mirror]]


def timed(args, log_path):
    start = time.perf_counter()
    with open(log_path, "w") as out:
        done = subprocess.run(args, stdout=out, stderr=subprocess.STDOUT)
    took = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(f"{args[0]} failed ({done.returncode}): {Path(log_path).read_text()[-2000:]}")
    return took


def first_mirror(clients, server, source, dest_base, rounds, zip_flag):
    want = tree_totals(source)
    times = {name: [] for name in [*clients, "rsync"]}
    for r in range(rounds):
        order = [*clients, "rsync"]
        if r % 2 == 1:
            order.reverse()
        for tool in order:
            dest = dest_base / f"{tool}-{r}"
            if tool in clients:
                took = timed(client_args(clients[tool], server, dest, zip_flag),
                             dest_base / "client.log")
            else:
                took = timed(["rsync", "-a", f"{source}/", f"{dest}/"], dest_base / "rsync.log")
            got = tree_totals(dest)
            if got != want:
                raise RuntimeError(f"{tool} copy differs: {got} files/bytes, want {want}")
            times[tool].append(took)
            log(f"round {r + 1}: {tool} {took:.2f} s")
            shutil.rmtree(dest)
    return {name: statistics.median(values) for name, values in times.items()}


def wait_until(predicate, limit=600, step=0.02):
    start = time.perf_counter()
    while not predicate():
        if time.perf_counter() - start > limit:
            raise RuntimeError("timed out")
        time.sleep(step)
    return time.perf_counter() - start


def removal(client, server, root, staging, dest_base, entries, zip_flag):
    """Times a tree of about `entries` entries arriving in a following
    mirror and then leaving it."""
    tree = staging / "churn"
    dirs = max(1, entries // 100)
    for d in range(dirs):
        sub = tree / f"s{d:04d}"
        sub.mkdir(parents=True)
        for f in range(99):
            (sub / f"x{f:03d}").write_bytes(b"x" * 64)
    want = tree_totals(tree)
    mirror = dest_base / "follow"
    proc = subprocess.Popen(client_args(client, server, mirror, zip_flag, follow=True),
                            stdout=open(dest_base / "follow.log", "w"), stderr=subprocess.STDOUT)
    try:
        wait_until(lambda: (mirror / ".dirsync").exists() and tree_totals(mirror) == tree_totals(root))
        start = time.perf_counter()
        subprocess.run(["cp", "-a", str(tree), str(root / "churn")], check=True)
        create = time.perf_counter() - start + wait_until(
            lambda: (mirror / "churn").is_dir() and tree_totals(mirror / "churn") == want, step=0.05)
        start = time.perf_counter()
        subprocess.run(["rm", "-rf", str(root / "churn")], check=True)
        remove = time.perf_counter() - start + wait_until(
            lambda: not (mirror / "churn").exists(), step=0.05)
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=60)
    shutil.rmtree(tree)
    shutil.rmtree(mirror)
    return dirs * 100, create, remove


def change_latency(client, server, root, staging, dest_base, samples):
    """Median milliseconds from writing a 4 KiB file to an identical copy in
    a following dirsync mirror, and in an lsyncd (rsync, delay 0) target."""
    ours = root / "latency"
    theirs = staging / "latency"
    ours.mkdir()
    theirs.mkdir()
    mirror = dest_base / "latency-dirsync"
    target = dest_base / "latency-lsyncd"
    target.mkdir()
    config = dest_base / "lsyncd.conf"
    config.write_text(
        "settings { nodaemon = true, insist = true }\n"
        f'sync {{ default.rsync, source = "{theirs}/", target = "{target}/", delay = 0, '
        "rsync = { archive = true, whole_file = true } }\n")
    follower = subprocess.Popen(client_args(client, server, mirror, False, follow=True,
                                            interval_ms=500),
                                stdout=open(dest_base / "latency-follow.log", "w"),
                                stderr=subprocess.STDOUT)
    lsyncd = subprocess.Popen(["lsyncd", str(config)],
                              stdout=open(dest_base / "lsyncd.log", "w"), stderr=subprocess.STDOUT)
    rng = random.Random(11)
    times = {"dirsync": [], "lsyncd": []}
    try:
        (ours / "ready").write_bytes(b"r")
        (theirs / "ready").write_bytes(b"r")
        wait_until(lambda: (mirror / "latency" / "ready").exists(), limit=120)
        wait_until(lambda: (target / "ready").exists(), limit=120)
        time.sleep(0.5)

        def one(source_dir, copy_dir, i):
            content = rng.randbytes(4096)
            name = f"f{i:04d}.bin"
            copy = copy_dir / name

            def arrived():
                try:
                    return copy.read_bytes() == content
                except OSError:
                    return False
            start = time.perf_counter()
            with open(source_dir / name, "wb") as f:
                f.write(content)
            wait_until(arrived, limit=60, step=0.0005)
            return (time.perf_counter() - start) * 1000

        for i in range(samples):
            order = ["dirsync", "lsyncd"] if i % 2 == 0 else ["lsyncd", "dirsync"]
            for tool in order:
                if tool == "dirsync":
                    times[tool].append(one(ours, mirror / "latency", i))
                else:
                    times[tool].append(one(theirs, target, i))
                time.sleep(0.2)
    finally:
        for p in (follower, lsyncd):
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
    shutil.rmtree(ours)
    shutil.rmtree(theirs)
    return {tool: statistics.median(values) for tool, values in times.items()}


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_cpu(client, server, root, dest_base, seconds):
    """CPU seconds the server spends over `seconds` with a following client
    and no change, and what watchman spends watching the same tree."""
    mirror = dest_base / "idle"
    follower = subprocess.Popen(client_args(client, server, mirror, False, follow=True,
                                            interval_ms=500),
                                stdout=open(dest_base / "idle-follow.log", "w"),
                                stderr=subprocess.STDOUT)
    try:
        wait_until(lambda: (mirror / ".dirsync").exists() and
                   tree_totals(mirror) == tree_totals(root), limit=600, step=0.5)
        time.sleep(2)
        before = cpu_seconds(server.process.pid)
        time.sleep(seconds)
        ours = cpu_seconds(server.process.pid) - before
    finally:
        follower.send_signal(signal.SIGTERM)
        follower.wait(timeout=60)
    shutil.rmtree(mirror)

    state = dest_base / "watchman"
    state.mkdir()
    sock = state / "sock"
    base = ["watchman", f"--sockname={sock}", f"--statefile={state / 'state'}",
            f"--logfile={state / 'log'}", f"--pidfile={state / 'pid'}"]
    daemon = subprocess.Popen(base + ["--foreground"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.STDOUT)
    try:
        wait_until(lambda: sock.exists(), limit=60)
        subprocess.run(base + ["watch", str(root)], check=True, stdout=subprocess.DEVNULL)
        # A query waits for the crawl to end.
        subprocess.run(base + ["find", str(root), "nothing-matches-this"], check=True,
                       stdout=subprocess.DEVNULL)
        time.sleep(2)
        before = cpu_seconds(daemon.pid)
        time.sleep(seconds)
        theirs = cpu_seconds(daemon.pid) - before
    finally:
        subprocess.run(base + ["shutdown-server"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        try:
            daemon.wait(timeout=30)
        except subprocess.TimeoutExpired:
            daemon.kill()
    shutil.rmtree(state)
    return ours, theirs


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--client", help="the dirsync-client to measure (default: the build's)")
    parser.add_argument("--small", type=int, default=20000)
    parser.add_argument("--large", type=int, default=40)
    parser.add_argument("--large-mib", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--removal", type=int, default=20000,
                        help="entries of the removal tree (0 skips it)")
    parser.add_argument("--latency", type=int, default=30,
                        help="change latency samples per tool (0 skips it)")
    parser.add_argument("--idle", type=int, default=20,
                        help="seconds of the idle measurement (0 skips it)")
    parser.add_argument("--zip", action="store_true", help="the client asks for zipped data")
    parser.add_argument("--compare", help="another dirsync-client (an older build) timed in "
                        "the same rounds, reported as dirsync_other")
    args = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("needs root: the server follows a filesystem and a tmpfs is mounted")
    build = (ROOT / args.build).resolve()
    client = Path(args.client).resolve() if args.client else build / "bin" / "dirsync-client"

    work = Path(tempfile.mkdtemp(prefix="dirsync-mirror-bench-"))
    volume = work / "vol"
    volume.mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8g", "dirsync-bench", str(volume)],
                   check=True)
    server = None
    try:
        source = volume / "Bench"
        staging = volume / "staging"  # beside the root, outside the task
        source.mkdir()
        staging.mkdir()
        log(f"making {args.small} small and {args.large} x {args.large_mib} MiB files")
        make_tree(source, args.small, args.large, args.large_mib)
        server = Server(build, work, volume)
        dest_base = work / "dest"
        dest_base.mkdir()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8g", "dirsync-bench-dest",
                        str(dest_base)], check=True)
        clients = {"dirsync": client}
        if args.compare:
            clients["dirsync_other"] = Path(args.compare).resolve()
        m = first_mirror(clients, server, source, dest_base, args.rounds, args.zip)
        other = (f" dirsync_other={m['dirsync_other']:.3f} "
                 f"other_ratio={m['dirsync_other'] / m['rsync']:.2f}" if args.compare else "")
        print(f"first_mirror small={args.small} large={args.large}x{args.large_mib}MiB "
              f"zip={int(args.zip)} dirsync={m['dirsync']:.3f} rsync={m['rsync']:.3f} "
              f"ratio={m['dirsync'] / m['rsync']:.2f}{other}", flush=True)
        if args.removal > 0:
            n, create, remove = removal(client, server, source, staging, dest_base,
                                        args.removal, args.zip)
            print(f"removal entries={n} create={create:.3f} remove={remove:.3f} "
                  f"ratio={remove / create:.2f}", flush=True)
        if args.latency > 0:
            lat = change_latency(client, server, source, staging, dest_base, args.latency)
            print(f"latency samples={args.latency} dirsync={lat['dirsync']:.2f} "
                  f"lsyncd={lat['lsyncd']:.2f} ratio={lat['dirsync'] / lat['lsyncd']:.2f}",
                  flush=True)
        if args.idle > 0:
            ours, theirs = idle_cpu(client, server, source, dest_base, args.idle)
            files, _ = tree_totals(source)
            print(f"idle seconds={args.idle} entries={files} dirsync={ours:.3f} "
                  f"watchman={theirs:.3f}", flush=True)
    finally:
        if server is not None:
            server.stop()
        subprocess.run(["umount", str(work / "dest")], stderr=subprocess.DEVNULL)
        subprocess.run(["umount", str(volume)])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
