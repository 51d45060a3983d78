# The crypted device's groups for bench.py: reading 200 MB through the device
# against decrypting to a file and reading that, small files against a read
# handle, random 1 KiB reads against one sequential read, and writing through
# the device against crypt. Run through bench/run.sh like the rest.
import os
import zlib

# bench.py runs as the main program and imports this module before it has
# defined what is used here: looked up when called.
import __main__ as bench

SMALL_SIZE = 4096
SMALL_ROUNDS = 1000
SEEKS = 100
RSS_ABOVE_START = 16 << 20


def digest_of(data):
    return f"{len(data)} {zlib.adler32(data)}\n"


def seek_offsets(size, count):
    """The offsets device_bench's seek case reads, drawn the same way."""
    state, mask = 1, (1 << 64) - 1
    for _ in range(count):
        state = (state * 6364136223846793005 + 1442695040888963407) & mask
        yield (state >> 33) % (size - 1024)


def groups(args, text):
    tool = f"{args.build}/bench/korv_device_bench"
    d = args.scratch
    with open(text.plain, "rb") as f:
        plain = f.read()
    expected = {}
    for name, data in (("whole", plain), ("small", plain[:SMALL_SIZE]),
                       ("seek", b"".join(plain[o:o + 1024] for o in seek_offsets(len(plain), SEEKS))),
                       ("idle", b"")):
        expected[name] = f"{d}/device-expected-{name}"
        with open(expected[name], "w") as f:
            f.write(digest_of(data))
    del plain
    small_plain, small_crypted = f"{d}/device-small.plain", f"{d}/device-small.kr"
    with open(text.plain, "rb") as f, open(small_plain, "wb") as g:
        g.write(f.read(SMALL_SIZE))
    os.system(f"'{tool}' crypt '{small_plain}' '{small_crypted}'")
    out = f"{d}/out"  # the name bench.py removes at the end
    size = text.plain_size
    return [
        bench.Group(f"device read text {size / bench.MB:.0f} MB", size, args.rounds, [
            bench.Case("device 64 KiB reads", [tool, "read", text.crypted, out], out, expected["whole"]),
            bench.Case("decrypt + read", [tool, "decrypt-read", text.crypted, f"{d}/device-tmp", out], out,
                 expected["whole"]),
            bench.Case("idle (start memory)", [tool, "idle", out], out, expected["idle"]),
        ]),
        bench.Group(f"device small {SMALL_SIZE} B x{SMALL_ROUNDS}", SMALL_SIZE * SMALL_ROUNDS, args.rounds, [
            bench.Case("device open/read/close", [tool, "small-device", small_crypted, str(SMALL_ROUNDS), out], out,
                 expected["small"]),
            bench.Case("handle + working copy", [tool, "small-handle", small_crypted, str(SMALL_ROUNDS), out], out,
                 expected["small"]),
        ]),
        bench.Group(f"device seek {SEEKS} x 1 KiB in {size / bench.MB:.0f} MB", size, args.rounds, [
            bench.Case("device random reads", [tool, "seek", text.crypted, str(SEEKS), out], out, expected["seek"]),
            bench.Case("device sequential read", [tool, "read", text.crypted, out], out, expected["whole"]),
        ]),
        bench.Group(f"device write text {size / bench.MB:.0f} MB", size, args.crypt_rounds, [
            bench.Case("device 64 KiB writes", [tool, "write", text.plain, out], out, text.crypted),
            bench.Case("crypt", [tool, "crypt", text.plain, out], out, text.crypted),
            bench.Case("crypt + fdatasync", [tool, "crypt-sync", text.plain, out], out, text.crypted),
        ], warm_up=False),
    ]


def owns(group):
    return group.title.startswith("device ")


def checks(all_groups):
    """(label, short label, value, limit) for each goal of the device."""
    result = []
    for g in all_groups:
        if not owns(g):
            continue
        ours, peer = g.ours, g.cases[1]
        kind = g.title.split()[1]
        limit = {"read": 1.0, "small": 0.5, "seek": 2.0, "write": 1.05}[kind]
        result.append((f"{g.title}: {ours.name} / {peer.name}", f"device {kind}", bench.wall(ours) / bench.wall(peer), limit))
        if kind == "read":
            above = max(s[3] for s in ours.samples) - max(s[3] for s in g.case("idle (start memory)").samples)
            result.append((f"{g.title}: peak RSS above start / 16 MB", "device memory", above / RSS_ABOVE_START, 1.0))
    return result
