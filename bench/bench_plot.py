"""`tiltgram plot` of a week-long recording against `read_cwa_file` of it, side by side.

    .venv/bin/python bench/bench_plot.py [days]

The plot reads only the accelerometer (and, being 3-axis, nothing else), makes the minute
table, draws one row per day and writes a PNG; the target is at most 1.5 x the plain read
of the same recording (all columns, as a user would call it) + 2 s.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time

from common import interleaved, machine, recording

import tiltgram
from tiltgram_tools import plot


def main() -> None:
    days = float(sys.argv[1]) if len(sys.argv) > 1 else 7.0
    path = recording(days, name=f"/tmp/tiltgram-bench-{days:g}d-30-movement.cwa", movement=True)
    size = os.path.getsize(path)
    rows = len(tiltgram.read_cwa_file(path, include_temperature=False))
    ballast = size + rows * 28
    out = os.path.join(tempfile.mkdtemp(), "plot.png")

    def plot_png() -> None:
        plot.plot_recording(path).savefig(out, dpi=100)

    def table() -> object:
        return plot.minute_activity(tiltgram.read_cwa_file(
            path, include_temperature=False, include_light=False, include_battery=False))

    t = interleaved({
        "read_cwa_file": lambda: tiltgram.read_cwa_file(path),
        "read, acc only": lambda: tiltgram.read_cwa_file(
            path, include_temperature=False, include_light=False, include_battery=False),
        "read + minute table": table,
        "plot to PNG": plot_png,
    }, rounds=7, ballast=ballast)
    print(machine())
    print(f"{days:g}-day 100 Hz packed recording: {size / 1e6:.0f} MB, {rows} rows")
    for name, sec in t.items():
        print(f"  {name:22s} {sec:8.3f} s")
    limit = 1.5 * t["read_cwa_file"] + 2.0
    print(f"plot / read_cwa_file = {t['plot to PNG'] / t['read_cwa_file']:.2f}; "
          f"plot = {t['plot to PNG']:.2f} s against 1.5 x read + 2 s = {limit:.2f} s "
          f"({'met' if t['plot to PNG'] <= limit else 'NOT met'})")
    start = time.perf_counter()
    plot.plot_recording(path, channels=True).savefig(out, dpi=100)
    print(f"  (with --channels, once: {time.perf_counter() - start:.2f} s)")


if __name__ == "__main__":
    main()
