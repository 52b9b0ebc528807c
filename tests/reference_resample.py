"""A slow, whole-list Python model of ``read_cwa_file(..., resample_hz=...)``: the oracle of
test_resample.py.

``read(path, ...)`` takes the same arguments as ``read_cwa_file`` and returns
``{"timestamps": int64 array, <column>: float32 array, ...}`` with the columns in
DataFrame order, or raises the exception the module raises.  Without a rate it is the
plain reader of reference.py.

Unlike the module it does not stream.  The decoded samples of the planned blocks form
one list (filled a block at a time, only as far as the grid needs, so that blocks the
module never reaches are never decoded here either), and each grid point is computed
from that list:

* the grid: point 0 at the origin (the first sample, or the start bound when that is
  later), point n at (origin_ms + n * step_ms) / 1000;
* the bracket: the first consecutive pair, from the previous grid point's bracket on,
  whose later sample is not before the grid time; no such pair ends the grid;
* the cubic through the samples before, at and after the bracket when all four exist and
  are usable, else linear between the bracket samples;
* a grid time at or after the end bound ends the grid; reading goes on only up to the
  first sample at or after that bound that comes after the last sample a row needed;
* a gyroscope or magnetometer column exists when a row has the value, or when a sample
  read inside the time bounds carries the channel.
"""

from __future__ import annotations

import math

import numpy as np

import reference
from builders import to_us
from reference import BLOCK_COLUMNS, F32, NAN32, SENSORS, fail

MAX_RESAMPLE_HZ = 10000.0
TINY = 1e-12   # smallest usable Lagrange denominator (s^3) and linear bracket width (s)
NAN = math.nan


def options(resample_hz, resample_method="cubic"):
    """The validated rate, None without resampling, or the ValueError of the module."""
    if resample_hz is None:
        return None
    hz = float(resample_hz)
    if not (math.isfinite(hz) and hz > 0):
        raise ValueError("resample_hz must be a finite value > 0")
    if hz > MAX_RESAMPLE_HZ:
        raise ValueError("resample_hz must be <= 10000")
    if resample_method != "cubic":
        raise ValueError(f"Unsupported resample_method '{resample_method}'. Supported: cubic")
    return hz


class Sample:
    """One decoded sample: time in seconds and its twelve channels as doubles, in the order
    acc_x..acc_z, gyro_x..mag_z (NaN when absent), temperature, light, battery."""

    __slots__ = ("t", "values", "sensors")

    def __init__(self, t, values, sensors):
        self.t, self.values, self.sensors = t, values, sensors


CHANNELS = ("acc_x", "acc_y", "acc_z") + SENSORS + BLOCK_COLUMNS


def planned_blocks(data, start_block, block_count, include_magnetometer):
    """The decoded data blocks of the planned range in file order, one list of samples each.
    A generator: each block is checked and decoded only when it is asked for."""
    first, end_block, prev = reference.open_planned(data, start_block, block_count)
    if first >= end_block:
        fail("No valid sample data found in the specified range")
    for n, times, columns, block_readings in reference.decoded_blocks(
            data, first, end_block, prev, include_magnetometer):
        readings = [float(v) for v in block_readings]
        samples = []
        for i in range(n):
            values = [NAN if col is None else float(col[i]) for col in columns] + readings
            sensors = tuple(col is not None for col in columns[3:])
            samples.append(Sample(times[i] / 1_000_000.0, values, sensors))
        yield samples


class SampleList:
    """The samples of the read in file order, decoded from the blocks on first use."""

    def __init__(self, blocks):
        self.blocks, self.items = blocks, []

    def has(self, i):
        while len(self.items) <= i:
            block = next(self.blocks, None)
            if block is None:
                return False
            self.items.extend(block)
        return True

    def __getitem__(self, i):
        return self.items[i]

    def read_all(self):
        while self.has(len(self.items)):
            pass


def interpolate(nodes, k, t):
    """Channel k at time t; ``nodes`` are the bracket (s1, s2), or (s0, s1, s2, s3) when the
    samples around the bracket exist.  Returns a double."""
    if len(nodes) == 4:
        (t0, t1, t2, t3), (y0, y1, y2, y3) = zip(*((s.t, s.values[k]) for s in nodes))
        d0 = (t0 - t1) * (t0 - t2) * (t0 - t3)
        d1 = (t1 - t0) * (t1 - t2) * (t1 - t3)
        d2 = (t2 - t0) * (t2 - t1) * (t2 - t3)
        d3 = (t3 - t0) * (t3 - t1) * (t3 - t2)
        usable = not any(math.isnan(y) for y in (y0, y1, y2, y3))
        if usable and all(abs(d) >= TINY for d in (d0, d1, d2, d3)):
            l0 = (t - t1) * (t - t2) * (t - t3) / d0
            l1 = (t - t0) * (t - t2) * (t - t3) / d1
            l2 = (t - t0) * (t - t1) * (t - t3) / d2
            l3 = (t - t0) * (t - t1) * (t - t2) / d3
            return ((l0 * y0 + l1 * y1) + l2 * y2) + l3 * y3
        nodes = nodes[1:3]
    (t1, y1), (t2, y2) = ((s.t, s.values[k]) for s in nodes)
    dt = t2 - t1
    if abs(dt) < TINY:
        return y1
    return ((t - t1) / dt) * (y2 - y1) + y1


def grid_row(samples, c, t, flags):
    """The row at t with bracket (c, c + 1): twelve float32 values, absent ones as None."""
    s1, s2 = samples[c], samples[c + 1]
    nodes = (samples[c - 1], s1, s2, samples[c + 2]) if c >= 1 and samples.has(c + 2) else (s1, s2)
    row = [F32(interpolate(nodes, k, t)) for k in range(3)]
    copy = s1 if t == s1.t else s2 if t == s2.t else None
    for k in range(3, 9):
        if copy is not None:
            row.append(F32(copy.values[k]) if copy.sensors[k - 3] else None)
        else:
            value = interpolate(nodes, k, t)
            row.append(None if math.isnan(value) else F32(value))
    for k, name in enumerate(BLOCK_COLUMNS, 9):
        row.append(F32(interpolate(nodes, k, t)) if flags["include_" + name] else None)
    return row


def resample(samples, start_s, end_s, hz, flags):
    """Grid rows of the read: a result dict like reference.read's."""
    if not samples.has(0):
        fail("No valid sample data found in the specified range")
    for bound in (start_s, end_s):
        if bound is not None and not math.isfinite(bound):
            fail("time range values must be finite")
    if start_s is not None and end_s is not None and end_s <= start_s:
        fail("range_end_time must be greater than range_start_time")

    origin = samples[0].t
    if start_s is not None and start_s > origin:
        origin = start_s
    origin_ms, step_ms = origin * 1000.0, 1000.0 / hz
    times, rows = [], []
    c = needed = 0   # bracket; last sample index the rows so far have waited for
    done = False
    while True:
        t = origin if not rows else (origin_ms + float(len(rows)) * step_ms) / 1000.0
        if end_s is not None and t >= end_s:
            done = True
            break
        while samples.has(c + 1) and samples[c + 1].t < t:
            c += 1
        if not samples.has(c + 1) or t < samples[c].t or t > samples[c + 1].t:
            break
        # A row with a sample before its bracket waits for the sample after it.
        needed = max(needed, c + 2 if c >= 1 and samples.has(c + 2) else c + 1)
        times.append(t)
        rows.append(grid_row(samples, c, t, flags))

    # Samples are read up to the first one at or after the end bound that comes once the
    # grid has reached that bound; without that, all of them.
    last = needed
    if done:
        while samples.has(last) and samples[last].t < end_s:
            last += 1
    else:
        samples.read_all()
        last = len(samples.items) - 1
    selected = [False] * 6
    for s in samples.items[:last + 1]:
        if (start_s is None or s.t >= start_s) and (end_s is None or s.t < end_s):
            selected = [a or b for a, b in zip(selected, s.sensors)]

    if not rows:
        fail("No samples remain after applying time range/resampling")
    out = {"timestamps": np.array([to_us(t) for t in times], dtype=np.int64)}
    for k, name in enumerate(CHANNELS):
        column = [row[k] for row in rows]
        if name in SENSORS and not selected[k - 3] and all(v is None for v in column):
            continue
        if name in BLOCK_COLUMNS and not flags["include_" + name]:
            continue
        out[name] = np.array([NAN32 if v is None else v for v in column], dtype=F32)
    return out


def read(path, cut=None, include_magnetometer=True, include_temperature=True,
         include_light=True, include_battery=True, resample_hz=None, resample_method="cubic",
         *, fixed_utc_offset_timezone=None):
    """The expected columns of ``read_cwa_file`` with the same arguments."""
    flags = dict(include_magnetometer=include_magnetometer, include_temperature=include_temperature,
                 include_light=include_light, include_battery=include_battery)
    hz = options(resample_hz, resample_method)
    if hz is None:
        return reference.read(path, cut, **flags, fixed_utc_offset_timezone=fixed_utc_offset_timezone)
    data = reference.read_file(path)
    start_block, block_count, start_s, end_s = reference.plan(data, cut)
    offset = reference.offset_us(fixed_utc_offset_timezone)
    blocks = planned_blocks(data, start_block, block_count, include_magnetometer)
    return reference.shift(resample(SampleList(blocks), start_s, end_s, hz, flags), offset)
