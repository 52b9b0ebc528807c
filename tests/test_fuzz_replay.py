"""The fuzz targets, built by CMake with AddressSanitizer and UBSan (tests/cpp_program.py),
over the corpora that the coverage-guided campaigns kept (fuzz/corpus/, grown by
scripts/fuzz.sh) and over many mutations of hand-made seeds: the decoders and the whole reading pipeline must never crash,
read out of bounds, hit undefined behaviour or break an invariant, whatever a file holds."""

from __future__ import annotations

import os
import random
import struct
import subprocess

import pytest

from cpp_program import build, ctest, environment

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TARGETS = sorted(f[:-4] for f in os.listdir(os.path.join(ROOT, "fuzz"))
                 if f.startswith("fuzz_") and f.endswith(".cpp"))
ENV = dict(environment(), ASAN_OPTIONS="detect_leaks=1:abort_on_error=1",
           UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1")


def program(name: str) -> str:
    """The fuzz target `name` with the main that replays files, built by CMake."""
    return str(build(name) / name)


def replay(exe: str, *inputs) -> str:
    run = subprocess.run([exe, *map(str, inputs)], capture_output=True, text=True, env=ENV, timeout=600)
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-4000:]
    return run.stdout


def mutations(seed_dir: str, out_dir, count: int, rng: random.Random) -> None:
    seeds = [open(os.path.join(seed_dir, f), "rb").read() for f in sorted(os.listdir(seed_dir))]
    for i in range(count):
        data = bytearray(rng.choice(seeds))
        for _ in range(rng.randint(1, 12)):
            kind = rng.random()
            pos = rng.randrange(len(data))
            if kind < 0.6:
                data[pos] = rng.randrange(256)
            elif kind < 0.8:  # header fields that steer decoding
                field = rng.choice((18, 19, 24, 25, 26, 27, 28, 29))
                if field < len(data):
                    data[field] = rng.randrange(256)
            else:
                data = data[:pos]
                if not data:
                    data = bytearray(b"AX")
        (out_dir / f"m{i:05d}").write_bytes(bytes(data))


@pytest.mark.parametrize("name", TARGETS)
def test_fuzz_corpus_replays_clean(name):
    # The inputs the coverage-guided campaigns kept (scripts/fuzz.sh), replayed by ctest.
    count = len(os.listdir(os.path.join(ROOT, "fuzz", "corpus", name)))
    assert count > 0
    assert f"replayed {count} inputs" in ctest(f"{name}_corpus")



@pytest.mark.parametrize("target", ["fuzz_sector", "fuzz_header"])
def test_fuzz_targets_survive_mutated_inputs(tmp_path, target):
    exe = program(target)
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    mutations(os.path.join(ROOT, "fuzz", "seeds"), corpus, 3000, random.Random(target))
    assert "replayed 300" in replay(exe, os.path.join(ROOT, "fuzz", "seeds"), corpus)


def sample_stream(rng: random.Random) -> bytes:
    """An input of fuzz_resample: mostly steady rates with jitter, plus repeated and backward
    times, gaps, NaN accelerations, and blocks with and without gyroscope and magnetometer."""
    head = struct.pack("<BHii", rng.randrange(32), rng.randrange(65536),
                       rng.randint(-2000, 30000), rng.randint(-2000, 60000))
    step = rng.choice([80, 1250, 2500, 10000, 40000, 80000])
    records = []
    for i in range(rng.choice([0, 1, 2, 5, 40, 300])):
        kind = rng.random()
        if kind < 0.05:
            dt = 0
        elif kind < 0.08:
            dt = -rng.randrange(3 * step)
        elif kind < 0.11:
            dt = rng.randrange(3_000_000)
        elif kind < 0.13:
            dt = rng.randrange(1, 300)
        else:
            dt = step + rng.randrange(step // 10 + 1)
        acc = [-32768 if rng.random() < 0.02 else rng.randint(-4096, 4096) for _ in range(3)]
        block = (1 if i == 0 or rng.random() < 0.03 else 0) | (rng.randrange(4) << 1)
        records.append(struct.pack("<i3hB5B", dt, *acc, block, *(rng.randrange(256) for _ in range(5))))
    return head + b"".join(records)


def test_resampler_paths_agree_on_random_streams(tmp_path):
    exe = program("fuzz_resample")
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    rng = random.Random("fuzz_resample")
    for i in range(1500):
        (corpus / f"s{i:05d}").write_bytes(sample_stream(rng))
    assert "replayed 1500" in replay(exe, corpus)


def gzip_inputs(rng: random.Random, count: int):
    """Inputs of fuzz_gzip: small recordings (some with a bad packet or a partial last
    sector) compressed whole or as several members, then kept, corrupted, cut short or
    followed by other bytes; and raw garbage behind a gzip header."""
    import gzip
    import zlib

    import builders
    for _ in range(count):
        sectors = builders.contiguous_blocks(rng.randrange(0, 6))
        if rng.random() < 0.2:
            sectors.insert(rng.randrange(len(sectors) + 1), builders.packet(rate_code=0, sample_count=1))
        data = builders.recording(builders.header(), sectors, rng.randbytes(rng.choice([0, 0, 0, 1, 300])))
        if rng.random() < 0.1:
            data = data[:rng.randrange(len(data) + 1)]
        cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.choice([0, 0, 1, 3])))
        parts = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
        blob = bytearray(b"".join(gzip.compress(p, compresslevel=rng.choice([0, 1, 6, 9]), mtime=0)
                                  for p in parts))
        kind = rng.random()
        if kind < 0.3:
            pass
        elif kind < 0.55:
            for _ in range(rng.randint(1, 4)):
                blob[rng.randrange(len(blob))] ^= 1 << rng.randrange(8)
        elif kind < 0.7:
            blob = blob[:rng.randrange(len(blob))]
        elif kind < 0.8:
            blob += rng.choice([b"\0", b"\x1f", b"\x1f\x8b", rng.randbytes(rng.randrange(1, 40))])
        elif kind < 0.9:  # a gzip header, then anything
            blob = bytearray(gzip.compress(b"", mtime=0)[:10] + rng.randbytes(rng.randrange(600)))
        else:  # raw deflate data behind a gzip header, without a trailer
            blob = bytearray(gzip.compress(b"", mtime=0)[:10] + zlib.compress(data)[2:-4])
        yield bytes(blob)


def test_gzip_source_agrees_with_the_decompressed_file(tmp_path):
    exe = program("fuzz_gzip")
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    for i, blob in enumerate(gzip_inputs(random.Random("fuzz_gzip"), 600)):
        (corpus / f"g{i:05d}").write_bytes(blob)
    assert "replayed 606" in replay(exe, corpus, os.path.join(ROOT, "fuzz", "seeds"))
