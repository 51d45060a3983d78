#!/usr/bin/env python3
# Whole-process benchmark of the korv tool against what people use without
# it: a tree of 20,000 small crypted files decrypted by korv against a
# KorvDecrypt process per file (find -exec, xargs -P 2), and the same tree
# named by find -print0 through --files0-from against -r; a tree of large files
# crypted with -j 2 against -j 1; korv cat and korv test on the 200 MB text
# file against pigz. Shares the driver of bench.py; run through bench/run.sh.
import filecmp
import os
import random
import shutil
import struct
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench  # noqa: E402

MB = 1e6
RSS_LIMIT = 16 << 20


def crypted(plain):
    """A crypted file's bytes: "kr", the length, qCompress's zlib stream."""
    return b"kr" + struct.pack(">I", len(plain)) + zlib.compress(plain, 6)


def small_tree(args, count):
    """count crypted files of 1-16 KiB in 100 directories, and their plain forms."""
    root = f"{args.scratch}/korv-small-{count}"
    if not os.path.exists(f"{root}/done"):
        shutil.rmtree(root, ignore_errors=True)
        r = random.Random(7)
        words = [bytes(r.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(r.randint(2, 9))) for _ in range(3000)]
        for i in range(count):
            rel = f"d{i % 100:02d}/f{i:05d}.kr"
            size = r.randint(1024, 16384)
            plain = b" ".join(r.choice(words) for _ in range(size // 5))[:size]
            for side, data in (("crypted", crypted(plain)), ("plain", plain)):
                os.makedirs(f"{root}/{side}/{os.path.dirname(rel)}", exist_ok=True)
                with open(f"{root}/{side}/{rel}", "wb") as f:
                    f.write(data)
        open(f"{root}/done", "w").close()
    return root


def large_tree(args, text):
    """The text corpus cut into 4 MB files (few MB each, as the goal says)."""
    total = 40_000_000 if args.quick else 400_000_000
    root = f"{args.scratch}/korv-large-{total}"
    if not os.path.exists(f"{root}/done"):
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(f"{root}/plain")
        with open(text.plain, "rb") as f:
            data = f.read()
        for i in range(total // 4_000_000):
            start = (i * 4_000_000) % (len(data) - 4_000_000)
            with open(f"{root}/plain/f{i:03d}", "wb") as f:
                f.write(data[start:start + 4_000_000])
        open(f"{root}/done", "w").close()
    return root, total


def same_trees(a, b):
    """True when the trees hold the same names with the same bytes."""
    c = filecmp.dircmp(a, b)
    if c.left_only or c.right_only or c.funny_files:
        return False
    if filecmp.cmpfiles(a, b, c.common_files, shallow=False)[0] != c.common_files:
        return False
    return all(same_trees(f"{a}/{d}", f"{b}/{d}") for d in c.common_dirs)


def crypted_tree_matches(out, plain):
    for name in os.listdir(plain):
        with open(f"{plain}/{name}", "rb") as p, open(f"{out}/{name}", "rb") as o:
            data, kr = p.read(), o.read()
        if kr[:2] != b"kr" or struct.unpack(">I", kr[2:6])[0] != len(data) or zlib.decompress(kr[6:]) != data:
            return False
    return True


class TreeCase(bench.Case):
    """A case whose output is a directory, made anew and checked after every
    timed run: a process per file takes minutes, too long to run it once more
    just for a check."""

    def __init__(self, name, argv, out, matches):
        super().__init__(name, argv, out, None)
        self.matches = matches

    def execute(self):
        shutil.rmtree(self.out, ignore_errors=True)
        os.sync()
        sample = bench.run(self.argv)
        if not self.matches(self.out):
            sys.exit(f"{self.name}: output tree differs")
        return sample

    def check(self):
        pass


class NullCase(bench.Case):
    """A case whose output goes to /dev/null (checked once into a file)."""

    def __init__(self, name, argv, check_out, expected):
        super().__init__(name, argv, check_out, expected, to_stdout=True)

    def execute(self):
        return bench.run(self.argv, "/dev/null")

    def check(self):
        if self.expected is None:  # a test: its status is its result
            bench.run(self.argv)
            return
        bench.run(self.argv, self.out)
        if not filecmp.cmp(self.out, self.expected, shallow=False):
            sys.exit(f"{self.name}: output differs from {self.expected}")
        os.unlink(self.out)


def groups(args):
    b = args.build
    korv = os.path.abspath(f"{b}/tools/korv/korv")
    kd = os.path.abspath(f"{b}/tools/KorvDecrypt/KorvDecrypt")
    wanted = lambda title: not args.only or args.only in title  # noqa: E731
    count = 2_000 if args.quick else 20_000
    out = f"{args.scratch}/korv-out"
    tree_rounds = 1 if args.quick else min(3, args.rounds)
    result = []
    if wanted(f"korv decrypt tree {count} files") or wanted(f"korv decrypt list {count} files"):
        small = small_tree(args, count)
        same = lambda o: same_trees(o, f"{small}/plain")  # noqa: E731
        # KorvDecrypt creates the missing directories of its target itself.
        per_file = f"cd {small}/crypted && find . -type f"
        recursive = [korv, "decrypt", "-r", "-q", "--to", out, f"{small}/crypted"]
        if wanted(f"korv decrypt tree {count} files"):
            result.append(bench.Group(f"korv decrypt tree {count} files", 0, tree_rounds, [
                TreeCase("korv decrypt -r --to", recursive, out, same),
                TreeCase("find -exec KorvDecrypt", ["sh", "-c", f"{per_file} -exec {kd} {{}} {out}/{{}} \\; >/dev/null"],
                         out, same),
                TreeCase("xargs -P 2 KorvDecrypt",
                         ["sh", "-c", f"{per_file} -print0 | xargs -0 -P 2 -I{{}} {kd} {{}} {out}/{{}} >/dev/null"],
                         out, same),
            ], warm_up=False))
        if wanted(f"korv decrypt list {count} files"):
            # A listed name keeps its path under --to: ./d00/f.kr lands at out/d00/f.kr, as -r puts it.
            result.append(bench.Group(f"korv decrypt list {count} files", 0, tree_rounds, [
                TreeCase("find -print0 | korv --files0-from=-",
                         ["sh", "-c", f"{per_file} -print0 | {korv} decrypt -q --files0-from=- --to {out}"], out, same),
                TreeCase("korv decrypt -r --to", recursive, out, same),
            ], warm_up=False))
    if not any(wanted(t) for t in ("korv crypt tree", "korv cat text", "korv test text")):
        return result, None
    text = bench.Corpus(args, "text", args.text_size)
    large, total = large_tree(args, text)
    matches = lambda o: crypted_tree_matches(o, f"{large}/plain")  # noqa: E731
    result.append(bench.Group(f"korv crypt tree {total / MB:.0f} MB", total, tree_rounds, [
        TreeCase("korv crypt -r -j 2", [korv, "crypt", "-r", "-q", "-j", "2", "--to", out, f"{large}/plain"],
                 out, matches),
        TreeCase("korv crypt -r -j 1", [korv, "crypt", "-r", "-q", "-j", "1", "--to", out, f"{large}/plain"],
                 out, matches),
    ], warm_up=False))
    check = f"{args.scratch}/korv-cat.out"
    result.append(bench.Group(f"korv cat text {text.plain_size / MB:.0f} MB", text.plain_size, args.rounds, [
        NullCase("korv cat", [korv, "cat", text.crypted], check, text.plain),
        NullCase("pigz -dc", ["pigz", "-dc", text.zlib], check, text.plain),
    ], RSS_LIMIT))
    result.append(bench.Group(f"korv test text {text.plain_size / MB:.0f} MB", text.plain_size, args.rounds, [
        NullCase("korv test", [korv, "test", text.crypted], check, None),
        NullCase("pigz -t", ["pigz", "-t", text.zlib], check, None),
    ]))
    return result, text


def summary(all_groups):
    checks = []
    for g in all_groups:
        ours = bench.wall(g.ours)
        if g.title.startswith("korv decrypt list"):
            checks.append(("find -print0 | --files0-from / -r", ours / bench.wall(g.case("korv decrypt -r --to")), 1.05))
        elif g.title.startswith("korv decrypt"):
            checks.append(("decrypt tree / find -exec", ours / bench.wall(g.case("find -exec KorvDecrypt")), 1 / 20))
            checks.append(("decrypt tree / xargs -P 2", ours / bench.wall(g.case("xargs -P 2 KorvDecrypt")), 1 / 3))
        elif g.title.startswith("korv crypt"):
            checks.append(("crypt tree -j 2 / -j 1", ours / bench.wall(g.case("korv crypt -r -j 1")), 1 / 1.7))
        elif g.title.startswith("korv cat"):
            checks.append(("cat / pigz -dc", ours / bench.wall(g.case("pigz -dc")), 0.9))
            checks.append(("cat peak RSS / 16 MB", max(s[3] for s in g.ours.samples) / RSS_LIMIT, 1.0))
        else:
            checks.append(("test / pigz -t", ours / bench.wall(g.case("pigz -t")), 1.0))
    print("\nkorv goals (ratio of medians; limit):")
    for label, value, limit in checks:
        print(f"  {label:<40} {value:6.3f}  <= {limit:.3f}  {'ok' if value <= limit else 'MISSED'}")
    missed = sum(value > limit for _, value, limit in checks)
    print(f"\nKORV SUMMARY ({len(checks) - missed}/{len(checks)} goals hold): "
          + ", ".join(f"{label} {value:.3f}{'' if value <= limit else ' MISSED'}" for label, value, limit in checks))


def main():
    args = bench.parse_args()
    bench.TIMED = f"{args.build}/bench/korv_bench_timed"
    bench.RESULT = f"{args.scratch}/timed.txt"
    os.makedirs(args.scratch, exist_ok=True)
    print(f"korv: {os.cpu_count()} cores, load average {' '.join(f'{x:.2f}' for x in os.getloadavg())} at the start")
    all_groups, text = groups(args)
    all_groups = [g for g in all_groups if not args.only or args.only in g.title]
    for g in all_groups:
        for c in g.cases:
            c.check()
    print("every output checked; timing", file=sys.stderr)
    bench.measure(all_groups)
    bench.report(all_groups)
    summary(all_groups)
    print(f"\nload average at the end: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    shutil.rmtree(f"{args.scratch}/korv-out", ignore_errors=True)
    if not args.keep:
        for d in os.listdir(args.scratch):
            if d.startswith("korv-"):
                shutil.rmtree(f"{args.scratch}/{d}", ignore_errors=True)
        for f in (text.plain, text.crypted, text.zlib, text.gzip) if text else ():
            os.unlink(f)


if __name__ == "__main__":
    main()
