"""A short tour of tiltgram on a recording it makes itself.

    .venv/bin/python examples/demo.py
"""

from __future__ import annotations

import datetime as dt
import os
import pprint
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))

import synth  # noqa: E402

import pandas as pd  # noqa: E402

import tiltgram  # noqa: E402

pd.set_option("display.width", 160)
pd.set_option("display.max_columns", 20)


def section(title: str) -> None:
    print(f"\n=== {title} ===")


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = synth.write(os.path.join(tmp, "demo.cwa"), days=1 / 24)  # one hour at 100 Hz
        print(f"generated {path}: {os.path.getsize(path)} bytes")

        section("read_metadata")
        pprint.pprint(tiltgram.read_metadata(path), sort_dicts=False)

        section("sampling_consistency_report")
        pprint.pprint(tiltgram.sampling_consistency_report(path), sort_dicts=False)

        section("read_cwa_file")
        df = tiltgram.read_cwa_file(path)
        print(df.head())
        print(df.dtypes.to_string())
        print(f"{len(df)} rows, index {df.index.dtype}")

        section("read_cwa_file with seconds(60, 62) and a UTC+02:00 clock")
        tz = dt.timezone(dt.timedelta(hours=2))
        cut = tiltgram.read_cwa_file(path, cut=tiltgram.seconds(60, 62),
                                     include_light=False, fixed_utc_offset_timezone=tz)
        print(cut.head(3))
        print(f"{len(cut)} rows from {cut.index[0]} to {cut.index[-1]}")

        section("read_cwa_file resampled to 30 Hz, blocks(0, 10)")
        res = tiltgram.read_cwa_file(path, cut=tiltgram.blocks(0, 10), resample_hz=30)
        print(res.head(3))
        print(f"{len(res)} rows")

        section("write_cwa_csv")
        csv_path = os.path.join(tmp, "demo.csv")
        tiltgram.write_cwa_csv(path, csv_path, cut=tiltgram.seconds(0, 1), include_temperature=True)
        with open(csv_path) as fh:
            lines = fh.read().splitlines()
        print("\n".join(lines[:4]))
        print(f"... {len(lines) - 1} rows")


if __name__ == "__main__":
    main()
