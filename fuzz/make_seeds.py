"""Writes the starting inputs of fuzz_pipeline and fuzz_resample into fuzz/corpus/, made by
the test suite's own recording builder (tests/builders.py). The fuzz campaigns grow the
corpora from there (scripts/fuzz.sh); run this to start a corpus afresh, or to add
the seeds to a grown one (the next campaign's merge keeps those that add coverage).

    .venv/bin/python fuzz/make_seeds.py [TARGET...]
"""

from __future__ import annotations

import os
import random
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import builders  # noqa: E402
from builders import contiguous_blocks, pack_time, packet  # noqa: E402
from test_fuzz_replay import sample_stream  # noqa: E402


def pipeline_input(sectors, flags=0x1F, blocks=(0, 0), seconds=(0, 64), rate=96, routes=0, gzip=None) -> bytes:
    """The fuzz_pipeline encoding: the 9-byte head, then each sector as a length byte L and
    its first 2L bytes (the rest of a sector is zeros). With `gzip` = (damage, level, where,
    value), the recording is also read gzip-compressed: damage 0 intact, 2 two members, 3 cut
    short, 4 a changed byte, 5 bytes after the end; level 0-3 for zlib levels 0, 1, 6, 9."""
    if gzip:
        damage, level, where, value = gzip
        routes |= 4 | damage << 3 | level << 6
    head = struct.pack("<BBBHHBB", flags, *blocks, *seconds, rate, routes)
    if gzip:
        head += struct.pack("<HB", where, value)
    body = b""
    for s in sectors:
        s = bytes(s)[:510].rstrip(b"\0")
        s += b"\0" * (len(s) % 2)
        body += bytes([len(s) // 2]) + s
    return head + body


def pipeline_seeds():
    rng = random.Random(14)
    yield pipeline_input(contiguous_blocks(3))
    yield pipeline_input(contiguous_blocks(4, format=0x92), flags=0x7F, seconds=(8, 24), routes=3)
    yield pipeline_input(contiguous_blocks(2, format=0x62) + [bytes(512)] + contiguous_blocks(
        2, format=0x32, start=pack_time(2020, 1, 1, 0, 0, 5)), flags=0xEF, blocks=(1, 2))
    yield pipeline_input([packet(samples=[(1, 2, 3, 0)])], rate=200)
    yield pipeline_input(contiguous_blocks(2) + [packet(rate_code=0, samples=[(0, 0, 0, 0)])])
    yield pipeline_input(contiguous_blocks(3, rate_code=0x47), flags=0x3F, routes=1)
    for _ in range(6):
        fmt = rng.choice(list(builders.FORMATS))
        sectors = contiguous_blocks(rng.randint(1, 6), format=fmt, rate_code=rng.choice([0x48, 0x4A, 0x4C]),
                                    sample_count=rng.randint(1, builders.CAPACITY[fmt]), seed=rng.randrange(99))
        yield pipeline_input(sectors, flags=rng.randrange(256), blocks=(rng.randrange(4), rng.randrange(4)),
                             seconds=(rng.randrange(64), rng.randrange(64)), rate=rng.randrange(256),
                             routes=rng.randrange(4))
    # The same recordings also read gzip-compressed: intact, in two members, and damaged.
    for damage in (0, 2, 3, 4, 5):
        for _ in range(3):
            sectors = contiguous_blocks(rng.randint(1, 5), format=rng.choice(list(builders.FORMATS)),
                                        seed=rng.randrange(99))
            if rng.random() < 0.3:
                sectors.insert(rng.randrange(len(sectors)), packet(rate_code=0, samples=[(0, 0, 0, 0)]))
            yield pipeline_input(sectors, flags=rng.randrange(256), blocks=(rng.randrange(4), rng.randrange(4)),
                                 seconds=(rng.randrange(64), rng.randrange(64)), rate=rng.randrange(256),
                                 routes=rng.randrange(4),
                                 gzip=(damage, rng.randrange(4), rng.randrange(65536), rng.randrange(256)))


def write(target, inputs):
    out = os.path.join(HERE, "corpus", target)
    os.makedirs(out, exist_ok=True)
    for i, data in enumerate(inputs):
        with open(os.path.join(out, f"seed{i:03d}"), "wb") as fh:
            fh.write(data)


if __name__ == "__main__":
    chosen = sys.argv[1:] or ["fuzz_pipeline", "fuzz_resample"]
    if "fuzz_pipeline" in chosen:
        write("fuzz_pipeline", pipeline_seeds())
    if "fuzz_resample" in chosen:
        rng = random.Random("fuzz_resample")
        write("fuzz_resample", (sample_stream(rng) for _ in range(100)))
