#!/usr/bin/env python3
# Whole-process benchmark of KorvDecrypt and crypt against their peers:
# builds the corpus, checks every program's output, then times the cases
# interleaved over several rounds and prints medians, pairwise ratios and
# the summary of the performance goals. Run through bench/run.sh.
import argparse
import filecmp
import os
import random
import statistics
import struct
import subprocess
import sys
import zlib

import device_bench

MB = 1e6
MEMORY_SLACK = 16 << 20


def parse_args():
    p = argparse.ArgumentParser(description="Times KorvDecrypt and crypt against their peers.")
    p.add_argument("--build", required=True, help="build directory with KORV_BUILD_BENCHMARKS=ON")
    p.add_argument("--scratch", default="/tmp/korv-bench", help="corpus and outputs (not committed)")
    p.add_argument("--quick", action="store_true", help="small files and few rounds, to try it out")
    p.add_argument("--rounds", type=int, help="rounds of the decrypt cases (the short copies get three times as many)")
    p.add_argument("--crypt-rounds", type=int, help="rounds of the crypt cases")
    p.add_argument("--keep", action="store_true", help="keep the corpus for the next run")
    p.add_argument("--only", metavar="TEXT", help='only the groups whose title contains TEXT ("decrypt binary", "crypt")')
    a = p.parse_args()
    a.text_size = 40_000_000 if a.quick else 200_000_000
    a.binary_size = 16 << 20 if a.quick else 64 << 20
    a.rounds = a.rounds or (3 if a.quick else 11)
    a.crypt_rounds = a.crypt_rounds or (3 if a.quick else 5)
    return a


TIMED = None  # the small program that runs and measures one command
RESULT = None  # where it writes its measurements


def run(argv, stdout=None):
    """Runs one process; returns wall seconds, user, sys and peak RSS bytes."""
    status = subprocess.run([TIMED, RESULT, stdout or "-"] + argv, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL).returncode
    if status != 0:
        sys.exit(f"failed ({status}): {' '.join(argv)}")
    with open(RESULT) as f:
        wall, user, system, rss = f.read().split()
    return float(wall), float(user), float(system), int(rss)


class Corpus:
    """One plain file and its crypted, zlib and gzip forms."""

    def __init__(self, args, kind, size):
        self.kind = kind
        d = args.scratch
        self.plain = f"{d}/{kind}-{size}.plain"
        self.crypted = f"{d}/{kind}-{size}.kr"
        self.zlib = f"{d}/{kind}-{size}.zz"
        self.gzip = f"{d}/{kind}-{size}.gz"
        if not all(os.path.exists(f) for f in (self.plain, self.crypted, self.zlib, self.gzip)):
            tool = f"{args.build}/bench/korv_bench_corpus"
            run([tool, kind, str(size), self.plain])
            run([f"{args.build}/bench/peer_zlib_crypt", self.plain, self.crypted])
            with open(self.crypted, "rb") as f:
                stream = f.read()[6:]
            with open(self.zlib, "wb") as f:
                f.write(stream)
            with open(self.plain, "rb") as f:
                crc = zlib.crc32(f.read())
            # The same deflate data in gzip framing: header, raw deflate, CRC-32, size.
            with open(self.gzip, "wb") as f:
                f.write(b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03")
                f.write(stream[2:-4])
                f.write(struct.pack("<II", crc, size & 0xFFFFFFFF))
        self.plain_size = os.path.getsize(self.plain)
        self.crypted_size = os.path.getsize(self.crypted)


class Case:
    def __init__(self, name, argv, out, expected, to_stdout=False, unzip=False):
        self.name, self.argv, self.out, self.expected = name, argv, out, expected
        self.to_stdout, self.unzip = to_stdout, unzip
        self.samples = []

    def execute(self):
        if os.path.exists(self.out):
            os.unlink(self.out)
        # Earlier outputs reach the disk now, not while this case is timed.
        os.sync()
        return run(self.argv, self.out if self.to_stdout else None)

    def check(self):
        self.execute()
        if self.unzip:
            same = subprocess.run(f"gzip -dc '{self.out}' | cmp -s - '{self.expected}'", shell=True).returncode == 0
        else:
            same = filecmp.cmp(self.out, self.expected, shallow=False)
        if not same:
            sys.exit(f"{self.name}: output differs from {self.expected}")


class Group:
    """Cases doing the same job; the first is ours, the others its peers."""

    def __init__(self, title, size_bytes, rounds, cases, memory_limit=None, warm_up=True):
        self.title, self.size, self.rounds, self.cases = title, size_bytes, rounds, cases
        self.memory_limit, self.warm_up = memory_limit, warm_up

    @property
    def ours(self):
        return self.cases[0]

    def case(self, name):
        return next(c for c in self.cases if c.name == name)


def groups(args, text, binary):
    b = f"{args.build}"
    out = f"{args.scratch}/out"
    korv = f"{b}/tools/KorvDecrypt/KorvDecrypt"
    result = []
    for c in (text, binary):
        limit = c.plain_size + c.crypted_size + MEMORY_SLACK
        result.append(Group(f"decrypt {c.kind} {c.plain_size / MB:.0f} MB", c.plain_size, args.rounds, [
            Case("KorvDecrypt", [korv, c.crypted, out], out, c.plain),
            Case("naive Qt", [f"{b}/bench/peer_naive_decrypt", c.crypted, out], out, c.plain),
            Case("zlib whole-buffer", [f"{b}/bench/peer_zlib_decrypt", c.crypted, out], out, c.plain),
            Case("libdeflate whole-buffer", [f"{b}/bench/peer_libdeflate_decrypt", c.crypted, out], out, c.plain),
            Case("gzip -dc", ["gzip", "-dc", c.gzip], out, c.plain, to_stdout=True),
            Case("pigz -dc", ["pigz", "-dc", c.zlib], out, c.plain, to_stdout=True),
        ], limit))
    for c in (text, binary):
        # A copy takes a few tens of milliseconds: more rounds steady its median.
        result.append(Group(f"plain copy {c.kind} {c.plain_size / MB:.0f} MB", c.plain_size, 3 * args.rounds, [
            Case("KorvDecrypt plain", [korv, c.plain, out], out, c.plain),
            Case("cp", ["cp", c.plain, out], out, c.plain),
        ]))
    for c in (text, binary):
        limit = c.plain_size + c.crypted_size + MEMORY_SLACK
        result.append(Group(f"crypt {c.kind} {c.plain_size / MB:.0f} MB", c.plain_size, args.crypt_rounds, [
            Case("crypt", [f"{b}/bench/korv_bench_crypt", c.plain, out], out, c.crypted),
            Case("zlib compress2", [f"{b}/bench/peer_zlib_crypt", c.plain, out], out, c.crypted),
            Case("gzip -6", ["gzip", "-6", "-c", c.plain], out, c.plain, to_stdout=True, unzip=True),
        ], limit, warm_up=False))
    return result + device_bench.groups(args, text)


def measure(all_groups):
    rounds = max(g.rounds for g in all_groups)
    shuffle = random.Random(4)
    for r in range(rounds):
        print(f"  round {r + 1}/{rounds} (load {os.getloadavg()[0]:.2f})", file=sys.stderr)
        for g in all_groups:
            if r >= g.rounds:
                continue
            # Interleaved, in a fresh order each round, so that drifting
            # load falls on every case alike.
            order = list(g.cases)
            shuffle.shuffle(order)
            for c in order:
                # On a virtual machine that hands free memory back to its host,
                # the first touch of that memory again costs more than a whole
                # decrypt: a run just before gives each case the same start.
                # Crypts take seconds of CPU and need no warm-up.
                if g.warm_up:
                    c.execute()
                c.samples.append(c.execute())


def median(values):
    return statistics.median(values)


def ratios(ours, peer):
    """Pairwise ratios of our wall time to the peer's, round by round."""
    return [a[0] / b[0] for a, b in zip(ours.samples, peer.samples)]


def report(all_groups):
    header = f"{'case':<26}{'wall s':>8}{'MB/s':>8}{'user s':>8}{'sys s':>7}{'RSS MB':>8}   ratio ours/peer: median [range]"
    for g in all_groups:
        print(f"\n{g.title}, {g.rounds} rounds")
        print(header)
        for c in g.cases:
            wall = median([s[0] for s in c.samples])
            line = (f"{c.name:<26}{wall:>8.3f}{g.size / MB / wall:>8.0f}"
                    f"{median([s[1] for s in c.samples]):>8.2f}{median([s[2] for s in c.samples]):>7.2f}"
                    f"{max(s[3] for s in c.samples) / MB:>8.1f}")
            if c is not g.ours:
                r = ratios(g.ours, c)
                line += f"   {median(r):.2f} [{min(r):.2f}-{max(r):.2f}]"
            print(line)


def wall(case):
    return median([s[0] for s in case.samples])


def summary(all_groups):
    """The goals, as ratios of medians: ours over the peer, against the limit."""
    checks = []  # (label, short label, value, limit)
    for g in all_groups:
        if device_bench.owns(g):
            continue
        ours, peers = g.ours, g.cases[1:]
        short = g.title.rsplit(" ", 2)[0]
        if g.title.startswith("decrypt"):
            fastest = min(peers, key=wall)
            checks.append((f"{g.title} / fastest peer ({fastest.name})", f"{short}/fastest",
                           wall(ours) / wall(fastest), 0.9))
            checks.append((f"{g.title} / libdeflate whole-buffer", f"{short}/libdeflate",
                           wall(ours) / wall(g.case("libdeflate whole-buffer")), 0.7))
        elif g.title.startswith("plain"):
            checks.append((f"{g.title} / cp", f"{short}/cp", wall(ours) / wall(g.case("cp")), 1.2))
        else:
            checks.append((f"{g.title} / zlib compress2", f"{short}/compress2",
                           wall(ours) / wall(g.case("zlib compress2")), 1.05))
            checks.append((f"{g.title} / gzip -6", f"{short}/gzip-6", wall(ours) / wall(g.case("gzip -6")), 0.9))
        if g.memory_limit:
            peak = max(s[3] for s in ours.samples)
            checks.append((f"{g.title} peak RSS / (plain + crypted + 16 MB)", f"{short} memory",
                           peak / g.memory_limit, 1.0))
    checks += device_bench.checks(all_groups)
    print("\ngoals (ratio of medians; limit):")
    for label, _, value, limit in checks:
        print(f"  {label:<62} {value:5.2f}  <= {limit:.2f}  {'ok' if value <= limit else 'MISSED'}")
    missed = sum(value > limit for _, _, value, limit in checks)
    line = ", ".join(f"{short} {value:.2f}{'' if value <= limit else ' MISSED'}" for _, short, value, limit in checks)
    print(f"\nSUMMARY ({len(checks) - missed}/{len(checks)} goals hold): {line}")


def main():
    global TIMED, RESULT
    args = parse_args()
    TIMED = f"{args.build}/bench/korv_bench_timed"
    RESULT = f"{args.scratch}/timed.txt"
    os.makedirs(args.scratch, exist_ok=True)
    print(f"machine: {os.cpu_count()} cores, load average {' '.join(f'{x:.2f}' for x in os.getloadavg())} at the start")
    text = Corpus(args, "text", args.text_size)
    binary = Corpus(args, "binary", args.binary_size)
    print(f"corpus: text {text.plain_size} -> {text.crypted_size} bytes "
          f"({100 * text.crypted_size / text.plain_size:.1f} %), binary {binary.plain_size} -> "
          f"{binary.crypted_size} ({100 * binary.crypted_size / binary.plain_size:.1f} %)")
    all_groups = [g for g in groups(args, text, binary) if not args.only or args.only in g.title]
    if not all_groups:
        sys.exit(f"no group's title contains {args.only!r}")
    for g in all_groups:
        for c in g.cases:
            c.check()
    print("every output checked; timing", file=sys.stderr)
    measure(all_groups)
    for f in ("out", "timed.txt"):
        os.unlink(f"{args.scratch}/{f}")
    report(all_groups)
    summary(all_groups)
    print(f"\nload average at the end: {' '.join(f'{x:.2f}' for x in os.getloadavg())} ({os.cpu_count()} cores)")
    if not args.keep:
        for c in (text, binary):
            for f in (c.plain, c.crypted, c.zlib, c.gzip):
                os.unlink(f)


if __name__ == "__main__":
    main()
