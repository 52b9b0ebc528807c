"""A slow, plain Python reader of CWA recordings used as the oracle for read_cwa_file.

``read(path, ...)`` follows the reading pipeline step by step on the bytes of
the file: the read plan (blocks arithmetic, or the seconds-cut span scan and
span selection), the opening checks, the block walk with packet metadata,
decoding, sample times and block readings, the time filter, and the fixed UTC
offset.  It returns ``{"timestamps": int64 array, <column>: float32 array, ...}``
with the columns in DataFrame order, or raises the exception the module
raises (``RuntimeError`` with the exact text for everything that touches the
file).  Numeric steps are done in the reader's own precision with NumPy so
the result can be compared bit for bit.
"""

from __future__ import annotations

import datetime
import struct

import numpy as np

from builders import (
    CAPACITY, FORMATS, HEADER_SIZE, SECTOR_SIZE, battery_v, continuity_start, light_lux_libm,
    natural_bounds, sample_times_us, temperature_c, to_us, unpack_time,
)

F32 = np.float32
NAN32 = np.array([0x7FC00000], dtype=np.uint32).view(np.float32)[0]
SENSORS = ("gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z")
BLOCK_COLUMNS = ("temperature", "light", "battery")
COLUMN_ORDER = ("acc_x", "acc_y", "acc_z") + SENSORS + BLOCK_COLUMNS
I64_MIN, I64_MAX = -(2**63), 2**63 - 1
SHORT_READ = "IO error: failed to fill whole buffer"


def fail(message: str):
    raise RuntimeError(message)


# --- sectors and packet metadata ----------------------------------------------------------------

def packet_meta(sector: bytes):
    """None for a sector that is no data packet, else (timestamp, offset, rate_code, count)."""
    if sector[0:2] != b"AX":
        return None
    count = struct.unpack_from("<H", sector, 28)[0]
    if count == 0:
        return None
    rate_code, fmt = sector[24], sector[25]
    if rate_code == 0:
        fail("Old CWA format packets are not supported")
    if fmt not in FORMATS:
        fail(f"Unsupported sample format: {fmt >> 4} axes, packing {fmt & 0x0F}")
    if count > CAPACITY[fmt]:
        fail("Sample count exceeds packet capacity")
    timestamp = struct.unpack_from("<I", sector, 14)[0]
    if unpack_time(timestamp) is None:
        fail("Invalid block timestamp")
    return timestamp, struct.unpack_from("<h", sector, 26)[0], rate_code, count


def check_file(data: bytes) -> int:
    """Opening checks shared by the plan and the reader; returns the number of data blocks."""
    if len(data) < 2:
        fail(SHORT_READ)
    if data[0:2] != b"MD":
        fail("Not a valid CWA file")
    if len(data) < HEADER_SIZE:
        fail("File too small to be a valid CWA file")
    if (len(data) - HEADER_SIZE) % SECTOR_SIZE:
        fail("Incomplete CWA data block")
    return (len(data) - HEADER_SIZE) // SECTOR_SIZE


def sector(data: bytes, index: int) -> bytes:
    offset = HEADER_SIZE + SECTOR_SIZE * index
    return data[offset:offset + SECTOR_SIZE]


# --- read plan ----------------------------------------------------------------------------------

def plan(data: bytes, cut):
    """(start_block, block_count, start_time_s, end_time_s) for a cut dict or None."""
    kind = None if cut is None else cut["type"]
    start, end = (None, None) if cut is None else (cut.get("start"), cut.get("end"))
    if kind is None:
        return None, None, None, None
    if kind == "blocks":
        first = 0 if start is None else start
        return first, (None if end is None else end - first), None, None
    total = check_file(data)
    if total == 0:
        fail("Start block is beyond file size")
    spans, prev, anchor = [], None, None
    for index in range(total):
        meta = packet_meta(sector(data, index))
        if meta is None:
            continue
        ns, ne = natural_bounds(*meta)
        if anchor is None:
            # The first sample's stamped time, in whole microseconds.
            anchor = to_us(ns) / 1e6
        spans.append((index, continuity_start(ns, ne, prev), ne))
        prev = ne
    if not spans:
        fail("No valid sample data found")
    s_bound = None if start is None else anchor + float(start)
    e_bound = None if end is None else anchor + float(end)
    first = last = None
    if s_bound is not None:
        for i, (_, s, e) in enumerate(spans):
            if e <= s_bound:
                continue
            if e_bound is not None and s >= e_bound:
                break
            first = i if first is None else first
            last = i
    elif e_bound is not None:
        if spans[0][1] < e_bound:
            first, last = 0, len(spans) - 1
            for i in range(1, len(spans)):
                if spans[i][1] >= e_bound:
                    last = i - 1
                    break
    else:
        first, last = 0, len(spans) - 1
    if first is None:
        fail("No samples remain after applying seconds cut")
    first, last = max(first - 1, 0), min(last + 1, len(spans) - 1)
    start_block = spans[first][0]
    return start_block, spans[last][0] - start_block + 1, s_bound, e_bound


# --- decoding -----------------------------------------------------------------------------------

def decode(sector_bytes: bytes, count: int, include_magnetometer: bool):
    """acc, gyro, mag of one packet as lists of three float32 arrays (gyro/mag None when absent)."""
    fmt = sector_bytes[25]
    light = struct.unpack_from("<H", sector_bytes, 18)[0]
    div = F32(2 ** (8 + ((light >> 13) & 7)))
    g = (light >> 10) & 7
    rng = 2000 if g == 0 else 8000 >> g
    area = sector_bytes[30:30 + 480]
    if fmt == 0x30:
        words = np.frombuffer(area, "<u4", count).astype(np.int64)
        e = words >> 30
        axes = [(((words >> shift) & 0x3FF) ^ 0x200) - 0x200 for shift in (0, 10, 20)]
        return [(a << e).astype(F32) / div for a in axes], None, None
    axes_n = FORMATS[fmt][0]
    raw = np.frombuffer(area, "<i2", count * axes_n).reshape(count, axes_n).astype(F32)
    cols = [raw[:, k].copy() for k in range(axes_n)]
    if fmt == 0x32:
        return [c / div for c in cols], None, None
    if fmt == 0x62:
        s = F32(32768 / rng)
        return [c / div for c in cols[3:6]], [c / s for c in cols[0:3]], None
    factor = F32(rng) / F32(32768)
    acc = [c * (F32(1) / div) for c in cols[3:6]]
    gyro = [c * factor for c in cols[0:3]]
    mag = [c * F32(2.0**-15) for c in cols[6:9]] if include_magnetometer else None
    return acc, gyro, mag


def open_planned(data, start_block, block_count):
    """The planned block range [first, end) and the natural end of the nearest earlier data
    block (None when there is none)."""
    total = check_file(data)
    first = start_block or 0
    if first >= total:
        fail("Start block is beyond file size")
    count = total - first if block_count is None else block_count
    end_block = min(total, first + count)
    prev = None
    for b in range(first - 1, -1, -1):
        meta = packet_meta(sector(data, b))
        if meta is not None:
            prev = natural_bounds(*meta)[1]
            break
    return first, end_block, prev


def outcome(func, *args, **kwargs):
    """What a call gives: its result, or the exception it raised."""
    try:
        return func(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return exc


def check(model, read, path, *args, **kwargs):
    """Calls ``read`` and ``model`` with the same arguments: both raise an exception of the
    same type and text, or the frame equals the model's result bit for bit. Returns the
    frame, or None."""
    expected = outcome(model, path, *args, **kwargs)
    actual = outcome(read, path, *args, **kwargs)
    if isinstance(expected, Exception) or isinstance(actual, Exception):
        assert (type(actual), str(actual)) == (type(expected), str(expected))
        return None
    assert_frame(actual, expected, kwargs.get("fixed_utc_offset_timezone") is not None)
    return actual


def assert_frame(df, expected, aware=False):
    """Bit-for-bit comparison of a DataFrame with a result dict."""
    assert list(df.columns) == [name for name in expected if name != "timestamps"]
    assert df.index.name == "timestamp"
    assert str(df.index.dtype) == ("datetime64[us, UTC]" if aware else "datetime64[us]")
    np.testing.assert_array_equal(df.index.asi8, expected["timestamps"])
    for name in df.columns:
        values = df[name].values
        assert values.dtype == np.float32, name
        np.testing.assert_array_equal(values.view("u4"), expected[name].view("u4"), err_msg=name)


def decoded_blocks(data, first, end_block, prev, include_magnetometer):
    """Each data block of [first, end_block) in file order, decoded when asked for: its sample
    count, sample times (us), the nine sensor columns (None where absent) and its readings
    (temperature, light, battery)."""
    for b in range(first, end_block):
        sec = sector(data, b)
        meta = packet_meta(sec)
        if meta is None:
            continue
        n = meta[3]
        acc, gyro, mag = decode(sec, n, include_magnetometer)
        ts, prev = sample_times_us(meta[0], meta[1], meta[2], n, prev)
        light, temp = struct.unpack_from("<HH", sec, 18)
        readings = (temperature_c(temp), light_lux_libm(light), battery_v(sec[23]))
        yield n, ts, acc + (gyro or [None] * 3) + (mag or [None] * 3), readings


def read_blocks(data, start_block, block_count, flags):
    first, end_block, prev = open_planned(data, start_block, block_count)
    times, cols = [], {name: [] for name in COLUMN_ORDER}
    rows = 0
    for n, ts, columns, readings in decoded_blocks(data, first, end_block, prev,
                                                   flags["include_magnetometer"]):
        times.extend(ts)
        for name, values in zip(COLUMN_ORDER, columns):
            cols[name].append(np.full(n, NAN32, F32) if values is None else values)
        for name, value in zip(BLOCK_COLUMNS, readings):
            cols[name].append(np.full(n, value, F32))
        rows += n
    if rows == 0:
        fail("No valid sample data found in the specified range")
    out = {"timestamps": np.array(times, dtype=np.int64)}
    for name in COLUMN_ORDER:
        joined = np.concatenate(cols[name])
        if name in SENSORS and np.isnan(joined).all():
            continue  # never carried by any sample read
        if name in BLOCK_COLUMNS and not flags["include_" + name]:
            continue
        out[name] = joined
    return out


def time_filter(result, start_s, end_s):
    if start_s is None and end_s is None:
        return result
    for bound in (start_s, end_s):
        if bound is not None and not np.isfinite(bound):
            fail("time range values must be finite")
    if start_s is not None and end_s is not None and end_s <= start_s:
        fail("range_end_time must be greater than range_start_time")
    t = result["timestamps"].astype(np.float64) / 1_000_000.0
    keep = np.ones(len(t), dtype=bool)
    if start_s is not None:
        keep &= t >= start_s
    if end_s is not None:
        keep &= t < end_s
    if not keep.any():
        fail("No samples remain after applying time range")
    out = {}
    for name, values in result.items():
        values = values[keep]
        if name in SENSORS and np.isnan(values).all():
            continue
        out[name] = values
    return out


OFFSET_OVERFLOW = "fixed_utc_offset_timezone offset does not fit in 64-bit microseconds"
SHIFT_OVERFLOW = ("a timestamp shifted by fixed_utc_offset_timezone does not fit in a signed 64-bit "
                  "integer of microseconds")


def offset_us(tz) -> int | None:
    if tz is None:
        return None
    delta = tz.utcoffset(None)
    if not isinstance(delta, datetime.timedelta):
        raise TypeError(f"'{type(delta).__name__}' object cannot be converted to 'PyDelta'")
    value = delta.days * 86_400_000_000 + delta.seconds * 1_000_000 + delta.microseconds
    if not I64_MIN <= value <= I64_MAX:
        raise OverflowError(OFFSET_OVERFLOW)
    return value


def read_file(path) -> bytes:
    """The recording's bytes, or the module's I/O error."""
    try:
        with open(path, "rb") as fh:
            return fh.read()
    except OSError as exc:
        raise RuntimeError(f"IO error: {exc.strerror} (os error {exc.errno})") from None


def shift(result: dict, offset) -> dict:
    """The result's timestamps moved by the fixed UTC offset (None: unchanged)."""
    if offset is not None:
        shifted = [int(t) - offset for t in result["timestamps"]]
        if any(not I64_MIN <= t <= I64_MAX for t in shifted):
            raise OverflowError(SHIFT_OVERFLOW)
        result["timestamps"] = np.array(shifted, dtype=np.int64)
    return result


def read(path, cut=None, include_magnetometer=True, include_temperature=True,
         include_light=True, include_battery=True, *, fixed_utc_offset_timezone=None):
    """The expected columns of ``read_cwa_file`` (same arguments, no resampling)."""
    data = read_file(path)
    flags = dict(include_magnetometer=include_magnetometer, include_temperature=include_temperature,
                 include_light=include_light, include_battery=include_battery)
    start_block, block_count, start_s, end_s = plan(data, cut)
    offset = offset_us(fixed_utc_offset_timezone)
    return shift(time_filter(read_blocks(data, start_block, block_count, flags), start_s, end_s),
                 offset)
