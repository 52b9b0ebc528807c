"""Writes a recording to try the reader and the `tiltgram` command on.

    .venv/bin/python examples/make_recording.py rec.cwa              # one day at 100 Hz, 35 MB
    .venv/bin/python examples/make_recording.py study/ --count 3 --days 0.25

The recordings are made by our own generator (bench/synth.py): an AX3 at 100 Hz, packed
3-axis samples, a day's rhythm of movement and stillness. With a folder, it writes `--count`
recordings `rec1.cwa`, `rec2.cwa`, ... into it (made when missing).
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))

import synth  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", help="a file name (rec.cwa), or a folder ending in /")
    parser.add_argument("--days", type=float, default=1.0, help="length (default 1)")
    parser.add_argument("--count", type=int, default=1, help="recordings, into a folder")
    args = parser.parse_args()
    if args.out.endswith("/") or args.count > 1:
        os.makedirs(args.out, exist_ok=True)
        paths = [os.path.join(args.out, f"rec{i + 1}.cwa") for i in range(args.count)]
    else:
        paths = [args.out]
    for seed, path in enumerate(paths, start=1):
        synth.write(path, days=args.days, seed=seed, movement=True)
        print(f"{path}: {os.path.getsize(path):,} bytes")


if __name__ == "__main__":
    main()
