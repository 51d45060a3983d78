#!/usr/bin/env python3
# Whole-process benchmark of many small files: one tree of 1-16 KiB files in
# 100 directories, crypted by korv and gzip'd and zstd'd from the same plain
# files, decrypted in place, into a directory whose files exist (synced
# before the run) and into a new directory, by korv -j 1 and -j 2 against
# gzip, pigz and zstd; and the start-up of one KorvDecrypt call against
# gzip -dc (CPU of the whole process). Every timed run starts from the same
# state, restored untimed and synced, and its result is checked after it.
# --strace counts korv's system calls per file; --batch runs the durable
# replacement strategies (bench/durable_batch.cpp). Run through bench/run.sh
# --small.
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

MB = 1e6
STARTUP_SIZE = 3000  # bytes of the crypted file whose decrypt measures start-up


def parse_args():
    p = argparse.ArgumentParser(description="Times korv on many small files against gzip, pigz and zstd.")
    p.add_argument("--build", required=True, help="build directory with KORV_BUILD_BENCHMARKS=ON")
    p.add_argument("--scratch", default="/tmp/korv-bench", help="trees and outputs (not committed)")
    p.add_argument("--quick", action="store_true", help="2,000 files and fewer repetitions")
    p.add_argument("--files", type=int, help="files in the tree (20,000; 2,000 with --quick)")
    p.add_argument("--rounds", type=int, help="interleaved rounds of the tree cases (3)")
    p.add_argument("--starts", type=int, help="processes per case and round in the start-up group (100; 20 quick)")
    p.add_argument("--only", metavar="TEXT", help='only the groups whose title contains TEXT ("in place", "start")')
    p.add_argument("--strace", action="store_true", help="also count korv's system calls per file (strace -c)")
    p.add_argument("--batch", action="store_true", help="also time the durable replacement strategies")
    p.add_argument("--keep", action="store_true", help="keep the trees for the next run")
    a = p.parse_args()
    a.files = a.files or (2_000 if a.quick else 20_000)
    a.rounds = a.rounds or 3
    a.starts = a.starts or (20 if a.quick else 100)
    return a


def quiet(*argv, cwd=None):
    subprocess.run(argv, cwd=cwd, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


def files_of(root, skip_suffix=None):
    """The relative paths of the regular files under root."""
    found = set()
    for d, _, names in os.walk(root):
        for n in names:
            if skip_suffix is None or not n.endswith(skip_suffix):
                found.add(os.path.relpath(os.path.join(d, n), root))
    return found


class Trees:
    """The plain tree and its crypted, gzip and zstd copies, made once."""

    def __init__(self, args, korv):
        self.root = f"{args.scratch}/small-{args.files}"
        self.plain, self.crypted = f"{self.root}/plain", f"{self.root}/crypted"
        self.gzip, self.zstd = f"{self.root}/gz", f"{self.root}/zst"
        self.work = f"{self.root}/work"
        if not os.path.exists(f"{self.root}/done"):
            shutil.rmtree(self.root, ignore_errors=True)
            r = random.Random(7)
            words = [bytes(r.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(r.randint(2, 9)))
                     for _ in range(3000)]
            for i in range(args.files):
                d = f"{self.plain}/d{i % 100:02d}"
                os.makedirs(d, exist_ok=True)
                size = r.randint(1024, 16384)
                with open(f"{d}/f{i:05d}", "wb") as f:
                    f.write(b" ".join(r.choice(words) for _ in range(size // 5))[:size])
            # --again: a plain file may start with the marker by chance.
            quiet(korv, "crypt", "-r", "-q", "--again", "--to", self.crypted, self.plain)
            quiet("cp", "-a", self.plain, self.gzip)
            quiet("gzip", "-6", "-r", self.gzip)
            quiet("cp", "-a", self.plain, self.zstd)
            quiet("zstd", "-q", "-r", "--rm", self.zstd)
            open(f"{self.root}/done", "w").close()
        self.names = files_of(self.plain)
        self.size = sum(os.path.getsize(f"{self.plain}/{n}") for n in self.names)
        self.crypted_size = sum(os.path.getsize(f"{self.crypted}/{n}") for n in self.names)

    def matches(self, out, skip_suffix=None):
        """True when out holds the plain tree's files, byte for byte (and,
        besides them, only names ending in skip_suffix)."""
        if files_of(out, skip_suffix) != self.names:
            return False
        for n in self.names:
            with open(f"{self.plain}/{n}", "rb") as a, open(f"{out}/{n}", "rb") as b:
                if a.read() != b.read():
                    return False
        return True

    def startup_file(self):
        """The crypted file nearest STARTUP_SIZE bytes, as (relative name, plain size)."""
        name = min(sorted(self.names), key=lambda n: abs(os.path.getsize(f"{self.crypted}/{n}") - STARTUP_SIZE))
        return name, os.path.getsize(f"{self.plain}/{name}")


class TreeCase(bench.Case):
    """A run over the tree: restore() puts back the state it starts from,
    untimed and synced; the result is checked after every timed run."""

    def __init__(self, name, argv, out, restore, check):
        super().__init__(name, argv, out, None)
        self.restore, self.verify = restore, check

    def execute(self):
        self.restore()
        os.sync()
        sample = bench.run(self.argv)
        if not self.verify():
            sys.exit(f"{self.name}: output tree differs from the plain tree")
        return sample

    def check(self):
        pass


class StartCase(bench.Case):
    """Many processes on one small file; a sample is the median of a round's
    processes, cpu the median of user + system time."""

    def __init__(self, name, argv, out, expected, starts, to_stdout=False):
        super().__init__(name, argv, out, expected, to_stdout=to_stdout)
        self.starts = starts
        self.cpu = []

    def execute(self):
        os.sync()
        runs = []
        for _ in range(self.starts):
            if os.path.exists(self.out):
                os.unlink(self.out)
            runs.append(bench.run(self.argv, self.out if self.to_stdout else None))
        self.cpu.append(statistics.median(s[1] + s[2] for s in runs))
        return (statistics.median(s[0] for s in runs), statistics.median(s[1] for s in runs),
                statistics.median(s[2] for s in runs), max(s[3] for s in runs))

    def check(self):
        bench.run(self.argv, self.out if self.to_stdout else None)
        with open(self.out, "rb") as a, open(self.expected, "rb") as b:
            if a.read() != b.read():
                sys.exit(f"{self.name}: output differs from {self.expected}")


def replace_tree(src, dst):
    shutil.rmtree(dst, ignore_errors=True)
    quiet("cp", "-a", src, dst)


def groups(args, t, korv, kd):
    w = t.work
    j = lambda n: ["-j", str(n)]  # noqa: E731
    result = []

    def in_place(name, argv, master, skip=None):
        d = f"{w}/{name.split()[0]}"
        return TreeCase(name, argv + [d], d, lambda: replace_tree(master, d), lambda: t.matches(d, skip))

    result.append(bench.Group(f"in place {len(t.names)} files", t.size, args.rounds, [
        in_place("korv -j 1", [korv, "decrypt", "-r", "-q"] + j(1), t.crypted),
        in_place("korv -j 2", [korv, "decrypt", "-r", "-q"] + j(2), t.crypted),
        in_place("gzip -d -r", ["gzip", "-d", "-r"], t.gzip),
        in_place("pigz -d -r", ["pigz", "-d", "-r"], t.gzip),
        in_place("zstd -d -r --rm", ["zstd", "-d", "-q", "-r", "--rm"], t.zstd),
    ], warm_up=False))

    # Into a directory whose files exist and are on disk: korv and zstd write
    # to out, gzip and pigz (which have no output directory) beside their .gz
    # files, kept with -k.
    out = f"{w}/out"

    def existing_out():
        replace_tree(t.plain, out)

    def existing_beside():
        replace_tree(t.gzip, f"{w}/gz")
        quiet("cp", "-a", f"{t.plain}/.", f"{w}/gz")

    def mirror(extra):
        return ["sh", "-c", f"cd {t.zstd} && exec zstd -d -q -r {extra} --output-dir-mirror {out} ."]

    result.append(bench.Group(f"to existing files {len(t.names)} files", t.size, args.rounds, [
        TreeCase("korv -j 1 -f --to", [korv, "decrypt", "-r", "-q", "-f"] + j(1) + ["--to", out, t.crypted], out,
                 existing_out, lambda: t.matches(out)),
        TreeCase("korv -j 2 -f --to", [korv, "decrypt", "-r", "-q", "-f"] + j(2) + ["--to", out, t.crypted], out,
                 existing_out, lambda: t.matches(out)),
        TreeCase("gzip -d -r -k -f", ["gzip", "-d", "-r", "-k", "-f", f"{w}/gz"], f"{w}/gz", existing_beside,
                 lambda: t.matches(f"{w}/gz", ".gz")),
        # pigz reports the plain files beside as an error (status 1); the
        # check of the tree after the run stands in for its status.
        TreeCase("pigz -d -r -k -f", ["sh", "-c", f"pigz -q -d -r -k -f {w}/gz; [ $? -le 1 ]"], f"{w}/gz",
                 existing_beside, lambda: t.matches(f"{w}/gz", ".gz")),
        TreeCase("zstd -d -r -f mirror", mirror("-f"), out, existing_out, lambda: t.matches(out)),
    ], warm_up=False))

    def new_out():
        shutil.rmtree(out, ignore_errors=True)

    result.append(bench.Group(f"to a new directory {len(t.names)} files", t.size, args.rounds, [
        TreeCase("korv -j 1 --to", [korv, "decrypt", "-r", "-q"] + j(1) + ["--to", out, t.crypted], out,
                 new_out, lambda: t.matches(out)),
        TreeCase("korv -j 2 --to", [korv, "decrypt", "-r", "-q"] + j(2) + ["--to", out, t.crypted], out,
                 new_out, lambda: t.matches(out)),
        TreeCase("zstd -d -r mirror", mirror(""), out, new_out, lambda: t.matches(out)),
    ], warm_up=False))

    name, plain_size = t.startup_file()
    one = f"{w}/one.out"
    result.append(bench.Group(f"start-up on one {os.path.getsize(f'{t.crypted}/{name}')} B file", plain_size,
                              args.rounds, [
        StartCase("KorvDecrypt", [kd, f"{t.crypted}/{name}", one], one, f"{t.plain}/{name}", args.starts),
        StartCase("gzip -dc", ["gzip", "-dc", f"{t.gzip}/{name}.gz"], one, f"{t.plain}/{name}", args.starts,
                  to_stdout=True),
    ], warm_up=False))
    return result


def cpu(case):
    return statistics.median(case.cpu)


def summary(all_groups):
    checks = []  # (label, value, limit or None for a ratio shown for information)
    for g in all_groups:
        wall = bench.wall
        if g.title.startswith("in place"):
            gz = wall(g.case("gzip -d -r"))
            checks += [("in place korv -j 1 / gzip -d -r", wall(g.case("korv -j 1")) / gz, 1.0),
                       ("in place korv -j 2 / gzip -d -r", wall(g.case("korv -j 2")) / gz, 0.6),
                       ("in place korv -j 2 / pigz -d -r", wall(g.case("korv -j 2")) / wall(g.case("pigz -d -r")), None),
                       ("in place korv -j 1 / zstd -d -r --rm",
                        wall(g.case("korv -j 1")) / wall(g.case("zstd -d -r --rm")), None)]
        elif g.title.startswith("to existing"):
            checks += [("existing korv -j 1 / gzip -d -r -k -f",
                        wall(g.case("korv -j 1 -f --to")) / wall(g.case("gzip -d -r -k -f")), 0.6),
                       ("existing korv -j 2 / pigz -d -r -k -f",
                        wall(g.case("korv -j 2 -f --to")) / wall(g.case("pigz -d -r -k -f")), None)]
        elif g.title.startswith("to a new"):
            checks += [("new dir korv -j 1 / zstd -d -r", wall(g.case("korv -j 1 --to"))
                        / wall(g.case("zstd -d -r mirror")), 1.0)]
        elif g.title.startswith("start-up"):
            checks += [("start-up KorvDecrypt / gzip -dc (CPU)", cpu(g.case("KorvDecrypt")) / cpu(g.case("gzip -dc")),
                        1.5)]
            for c in g.cases:
                print(f"  {c.name}: CPU per process, median {1e3 * cpu(c):.2f} ms "
                      f"(rounds {', '.join(f'{1e3 * x:.2f}' for x in c.cpu)})")
    print("\nsmall-file goals (ratio of medians; limit):")
    for label, value, limit in checks:
        verdict = "info" if limit is None else ("ok" if value <= limit else "MISSED")
        print(f"  {label:<44} {value:6.3f}  {'' if limit is None else f'<= {limit:.2f}':<8} {verdict}")
    goals = [(label, v, limit) for label, v, limit in checks if limit is not None]
    missed = sum(v > limit for _, v, limit in goals)
    print(f"\nSMALL FILES SUMMARY ({len(goals) - missed}/{len(goals)} goals hold): "
          + ", ".join(f"{label} {v:.2f}{'' if v <= limit else ' MISSED'}" for label, v, limit in goals))


def count_syscalls(args, t, korv):
    """korv's system calls per file under strace -f -c, for each way of
    writing: the process's own start-up is spread over the files."""
    w, out, n = t.work, f"{t.work}/out", len(t.names)
    log = f"{w}/strace.txt"
    runs = [("in place -j 1", lambda: replace_tree(t.crypted, f"{w}/korv"),
             [korv, "decrypt", "-r", "-q", "-j", "1", f"{w}/korv"]),
            ("new directory -j 1", lambda: shutil.rmtree(out, ignore_errors=True),
             [korv, "decrypt", "-r", "-q", "-j", "1", "--to", out, t.crypted]),
            ("existing files -j 1", lambda: replace_tree(t.plain, out),
             [korv, "decrypt", "-r", "-q", "-f", "-j", "1", "--to", out, t.crypted])]
    print(f"\nsystem calls per file, strace -f -c over {n} files (goal: <= 10 to a new target, <= 12 in place):")
    for label, restore, argv in runs:
        restore()
        os.sync()
        quiet("strace", "-f", "-c", "-o", log, *argv)
        calls = {}
        with open(log) as f:
            for line in f:
                parts = line.split()
                # "% time seconds usecs/call calls [errors] syscall"
                if len(parts) >= 5 and parts[0][0].isdigit() and parts[-1] != "total":
                    calls[parts[-1]] = int(parts[3])
        total = sum(calls.values())
        top = sorted(((v, k) for k, v in calls.items() if v >= n / 2), reverse=True)
        print(f"  {label:<22} {total / n:6.1f}  ({', '.join(f'{k} {v / n:.1f}' for v, k in top)})")


def durable_batch(args):
    tool = f"{args.build}/bench/korv_durable_batch"
    for count in sorted({2_000, args.files}):
        d = f"{args.scratch}/durable-{count}"
        shutil.rmtree(d, ignore_errors=True)
        print(f"\ndurable replacement strategies (load {os.getloadavg()[0]:.2f}):", flush=True)
        subprocess.run([tool, d, str(count), str(args.rounds)], check=True)
        shutil.rmtree(d, ignore_errors=True)


def main():
    args = parse_args()
    bench.TIMED = f"{args.build}/bench/korv_bench_timed"
    bench.RESULT = f"{args.scratch}/timed.txt"
    korv = os.path.abspath(f"{args.build}/tools/korv/korv")
    kd = os.path.abspath(f"{args.build}/tools/KorvDecrypt/KorvDecrypt")
    os.makedirs(args.scratch, exist_ok=True)
    print(f"small files: {os.cpu_count()} cores, load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())} at the start")
    t = Trees(args, korv)
    os.makedirs(t.work, exist_ok=True)
    print(f"tree: {len(t.names)} files, {t.size / MB:.1f} MB plain, {t.crypted_size / MB:.1f} MB crypted")
    all_groups = [g for g in groups(args, t, korv, kd) if not args.only or args.only in g.title]
    for g in all_groups:
        for c in g.cases:
            if isinstance(c, StartCase):
                c.check()
    bench.measure(all_groups)
    bench.report(all_groups)
    print()
    summary(all_groups)
    if args.strace:
        count_syscalls(args, t, korv)
    if args.batch:
        durable_batch(args)
    print(f"\nload average at the end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    shutil.rmtree(t.work, ignore_errors=True)
    os.unlink(bench.RESULT)
    if not args.keep:
        shutil.rmtree(t.root, ignore_errors=True)


if __name__ == "__main__":
    main()
