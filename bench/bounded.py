#!/usr/bin/env python3
# Bounded-memory benchmark: the checksum trailer calls, decrypt (by the owner
# and without a read lease) and a read handle on files of several GB. First
# each runs once inside a memory cgroup (256 MiB by default) and must succeed
# with a small peak of anonymous memory; then the trailer calls are timed
# against one streaming CRC pass and against the way they were done before
# (the whole file in memory), interleaved over several rounds, outside the
# cgroup, each right after an untimed read of the file so that every case
# finds it in the page cache alike.
# Run through bench/run.sh --bounded, or directly:
#   python3 bench/bounded.py --build build-bench [--size 4e9] [--rounds 3]
import argparse
import os
import random
import statistics
import subprocess
import sys

MB = 1e6
MiB = 1 << 20
TMPFS_MAGIC = 0x01021994


def parse_args():
    p = argparse.ArgumentParser(description="Memory bounds and trailer timings on large files.")
    p.add_argument("--build", required=True, help="build directory with KORV_BUILD_BENCHMARKS=ON")
    p.add_argument("--scratch", default="/var/tmp/korv-bounded", help="large files (a disk, not tmpfs)")
    p.add_argument("--size", type=float, default=4e9, help="bytes of plain content (below 4 GiB)")
    p.add_argument("--kind", choices=("text", "binary"), default="text", help="corpus content")
    p.add_argument("--limit", type=int, default=256, help="memory cgroup limit in MiB")
    p.add_argument("--peak", type=float, default=32, help="goal for the peak anonymous memory in MB")
    p.add_argument("--rounds", type=int, default=3, help="rounds of the timed trailer cases")
    p.add_argument("--keep", action="store_true", help="keep the corpus for the next run")
    p.add_argument("--no-before", action="store_true",
                   help="leave out the whole-file peers (minutes each on GB files): more rounds in the time")
    a = p.parse_args()
    a.size = int(a.size)
    if a.size >= 1 << 32:
        sys.exit("--size must stay below 4 GiB, the most the crypted format stores")
    return a


def on_tmpfs(path):
    out = subprocess.run(["stat", "-f", "-c", "%t", path], capture_output=True, text=True).stdout.strip()
    return out == "" or int(out, 16) == TMPFS_MAGIC


class Cgroup:
    """A memory cgroup under our own (v1 memory.limit_in_bytes or v2 memory.max)."""

    def __init__(self, limit):
        self.dir, self.why = None, None
        v1 = v2 = None
        with open("/proc/self/cgroup") as f:
            for line in f:
                _, controllers, path = line.rstrip("\n").split(":", 2)
                if controllers == "memory":
                    v1 = path
                elif controllers == "":
                    v2 = path
        name = f"korv-bench-{os.getpid()}"
        try:
            if v1 is not None and os.access("/sys/fs/cgroup/memory", os.W_OK):
                self.dir, limit_file = f"/sys/fs/cgroup/memory{v1.rstrip('/')}/{name}", "memory.limit_in_bytes"
            elif v2 is not None and os.path.exists("/sys/fs/cgroup/cgroup.controllers"):
                parent = f"/sys/fs/cgroup{v2.rstrip('/')}"
                with open(f"{parent}/cgroup.subtree_control", "w") as f:
                    f.write("+memory")
                self.dir, limit_file = f"{parent}/{name}", "memory.max"
            else:
                self.why = "no memory cgroup hierarchy"
                return
            os.mkdir(self.dir)
            with open(f"{self.dir}/{limit_file}", "w") as f:
                f.write(str(limit))
            self.kind = "v1 memory.limit_in_bytes" if limit_file.endswith("bytes") else "v2 memory.max"
        except OSError as e:
            self.why = f"cannot make a memory cgroup: {e}"
            self.remove()

    def enter(self):
        with open(f"{self.dir}/cgroup.procs", "w") as f:
            f.write(str(os.getpid()))

    def remove(self):
        if self.dir and os.path.isdir(self.dir):
            os.rmdir(self.dir)
        self.dir = None


def run(args, argv, cgroup=None, env=None):
    """Runs one command through the timing program: wall, user, sys, max RSS, peak anon, status."""
    result = f"{args.scratch}/timed.txt"
    out = f"{args.scratch}/stdout.txt"
    status = subprocess.run([f"{args.build}/bench/korv_bench_timed", result, out] + argv,
                            stdin=subprocess.DEVNULL, env=env,
                            preexec_fn=cgroup.enter if cgroup else None).returncode
    wall = user = system = rss = 0
    if os.path.exists(result):
        with open(result) as f:
            wall, user, system, rss = (float(x) for x in f.read().split())
    anon = 0
    with open(out) as f:
        for line in f:
            if line.startswith("peak-anon "):
                anon = int(line.split()[1])
    return wall, user, system, rss, anon, status


def describe(status):
    if status == 0:
        return "ok"
    if status >= 128:
        return f"KILLED (signal {status - 128})"
    return f"failed ({status})"


def main():
    args = parse_args()
    os.makedirs(args.scratch, exist_ok=True)
    if on_tmpfs(args.scratch):
        sys.exit(f"{args.scratch} is on tmpfs, whose pages count as memory: give --scratch on a disk")
    b = f"{args.build}/bench"
    tool = f"{b}/korv_bench_bounded"
    plain = f"{args.scratch}/{args.kind}-{args.size}.plain"
    crypted = f"{args.scratch}/{args.kind}-{args.size}.kr"
    out = f"{args.scratch}/out"
    if not (os.path.exists(plain) and os.path.exists(crypted)):
        print(f"making the corpus: {args.size / MB:.0f} MB of {args.kind}", file=sys.stderr)
        subprocess.run([f"{b}/korv_bench_corpus", args.kind, str(args.size), plain], check=True)
        subprocess.run([f"{b}/korv_bench_crypt", plain, crypted], check=True)
    print(f"machine: {os.cpu_count()} cores, load {os.getloadavg()[0]:.2f}; corpus {args.kind}: "
          f"plain {os.path.getsize(plain) / MB:.0f} MB, crypted {os.path.getsize(crypted) / MB:.0f} MB")
    env = dict(os.environ, TMPDIR=args.scratch)
    checks = []  # (label, value, limit)

    cgroup = Cgroup(args.limit * MiB)
    if cgroup.why:
        print(f"memory phase skipped: {cgroup.why}")
    else:
        print(f"\nmemory phase: each case once in a memory cgroup of {args.limit} MiB ({cgroup.kind})")
        print(f"{'case':<28}{'wall s':>8}{'MB/s':>8}{'max RSS MB':>12}{'peak anon MB':>14}   result")
        cases = [
            ("addCheckSum", [tool, "add", plain], None, os.path.getsize(plain)),
            ("verifyCheckSum", [tool, "verify", plain], None, os.path.getsize(plain)),
            ("removeCheckSum", [tool, "remove", plain], None, os.path.getsize(plain)),
            ("decrypt by the owner", [tool, "decrypt", crypted, out], None, os.path.getsize(plain)),
            ("decrypt without a lease", [tool, "decrypt", crypted, out], "hold", os.path.getsize(plain)),
            ("read handle without a lease", [tool, "handle", crypted], "hold", os.path.getsize(plain)),
        ]
        for name, argv, hold, size in cases:
            writer = open(crypted, "r+b") if hold else None  # no read lease while a writer has it open
            os.sync()
            wall, _, _, rss, anon, status = run(args, argv, cgroup, env)
            if writer:
                writer.close()
            print(f"{name:<28}{wall:>8.2f}{size / MB / max(wall, 1e-9):>8.0f}{rss / MB:>12.1f}{anon / MB:>14.1f}"
                  f"   {describe(status)}")
            checks.append((f"{name} succeeds in {args.limit} MiB", 0 if status == 0 else 1, 0))
            checks.append((f"{name} peak anonymous memory (MB)", anon / MB, args.peak))
            if os.path.exists(out):
                os.unlink(out)
        cgroup.remove()

    print(f"\ntime phase: trailer calls, {args.rounds} rounds interleaved, no cgroup")
    units = {
        "crc pass": [("crc pass", [tool, "crc", plain])],
        "ours": [("addCheckSum", [tool, "add", plain]), ("removeCheckSum", [tool, "remove", plain])],
    }
    if not args.no_before:
        units["before"] = [("whole-file add", [tool, "whole-add", plain]),
                           ("whole-file remove", [tool, "whole-remove", plain])]
    samples = {name: [] for unit in units.values() for name, _ in unit}
    shuffle = random.Random(13)
    for r in range(args.rounds):
        print(f"  round {r + 1}/{args.rounds} (load {os.getloadavg()[0]:.2f})", file=sys.stderr)
        order = list(units)
        shuffle.shuffle(order)
        for unit in order:
            for name, argv in units[unit]:
                os.sync()
                run(args, [tool, "crc", plain])  # warm-up: the file in the page cache
                sample = run(args, argv)
                if sample[5] != 0:
                    sys.exit(f"{name}: {describe(sample[5])}")
                samples[name].append(sample)
    size = os.path.getsize(plain)
    print(f"{'case':<28}{'wall s':>8}{'MB/s':>8}{'user s':>8}{'sys s':>7}{'max RSS MB':>12}")
    for name, s in samples.items():
        wall = statistics.median(x[0] for x in s)
        print(f"{name:<28}{wall:>8.2f}{size / MB / wall:>8.0f}{statistics.median(x[1] for x in s):>8.2f}"
              f"{statistics.median(x[2] for x in s):>7.2f}{max(x[3] for x in s) / MB:>12.1f}")

    def ratio(a, b):
        return [x[0] / y[0] for x, y in zip(samples[a], samples[b])]

    for label, a, b, limit in (("removeCheckSum / crc pass", "removeCheckSum", "crc pass", 1.1),
                               ("addCheckSum / whole-file add (before)", "addCheckSum", "whole-file add", 0.5),
                               ("removeCheckSum / whole-file remove (before)", "removeCheckSum",
                                "whole-file remove", 1.0)):
        if b not in samples:
            continue
        r = ratio(a, b)
        print(f"  {label:<46} median {statistics.median(r):.2f} [{min(r):.2f}-{max(r):.2f}]")
        checks.append((label, statistics.median(r), limit))

    print("\ngoals:")
    for label, value, limit in checks:
        print(f"  {label:<62} {value:7.2f}  <= {limit:.2f}  {'ok' if value <= limit else 'MISSED'}")
    missed = sum(v > l for _, v, l in checks)
    print(f"\nSUMMARY bounded ({len(checks) - missed}/{len(checks)} goals hold)")
    for f in ("timed.txt", "stdout.txt"):
        if os.path.exists(f"{args.scratch}/{f}"):
            os.unlink(f"{args.scratch}/{f}")
    if not args.keep:
        os.unlink(plain)
        os.unlink(crypted)


if __name__ == "__main__":
    main()
