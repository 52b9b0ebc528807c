"""Fast synthesis of long CWA recordings with NumPy, for the demo and the benchmarks.

The recordings are built field by field like tests/builders.py does for single packets, but
for hundreds of thousands of packets at once: a 1024-byte metadata block, then back-to-back
100 Hz packets, each stamped like a device stamps them (the whole second of one of its
samples, with `timestampOffset` that sample's index).
"""

from __future__ import annotations

import datetime as dt
import os

import numpy as np

PACKET = np.dtype([
    ("header", "S2"), ("length", "<u2"), ("fractional", "<u2"), ("session", "<u4"),
    ("sequence", "<u4"), ("timestamp", "<u4"), ("light", "<u2"), ("temperature", "<u2"),
    ("events", "u1"), ("battery", "u1"), ("rate", "u1"), ("format", "u1"),
    ("offset", "<i2"), ("count", "<u2"), ("samples", "u1", (480,)), ("checksum", "<u2"),
])
assert PACKET.itemsize == 512

FORMATS = {0x30: 120, 0x32: 80, 0x62: 40, 0x92: 26}


def pack_times(seconds: np.ndarray) -> np.ndarray:
    """Packed 32-bit timestamps of whole epoch seconds (an array of int64)."""
    t = seconds.astype("datetime64[s]")
    years = t.astype("datetime64[Y]").astype(np.int64) + 1970
    months = t.astype("datetime64[M]").astype(np.int64) % 12 + 1
    days = (t.astype("datetime64[D]") - t.astype("datetime64[M]")).astype(np.int64) + 1
    sod = (t - t.astype("datetime64[D]")).astype(np.int64)
    packed = ((years - 2000) << 26) | (months << 22) | (days << 17) | ((sod // 3600) << 12) \
        | ((sod // 60 % 60) << 6) | (sod % 60)
    words: np.ndarray = packed.astype(np.uint32)
    return words


def header(rate_code: int = 0x4A, start: dt.datetime | None = None,
           end: dt.datetime | None = None, annotation: bytes = b"") -> bytes:
    """A metadata block with a device id, logging times and the rate code."""
    block = bytearray(b"\xff" * 1024)
    block[0:2] = b"MD"
    block[2:4] = (1020).to_bytes(2, "little")
    block[4] = 0x17
    block[5:7] = (4242).to_bytes(2, "little")
    block[7:11] = (7).to_bytes(4, "little")
    block[11:13] = (0).to_bytes(2, "little")
    for offset, when in ((13, start), (17, end), (37, start)):
        word = 0 if when is None else int(pack_times(np.array([int(when.replace(tzinfo=dt.timezone.utc).timestamp())]))[0])
        block[offset:offset + 4] = word.to_bytes(4, "little")
    block[26] = 3
    block[35] = 0
    block[36] = rate_code
    block[41] = 45
    note = annotation[:448]
    block[64:64 + len(note)] = note
    return bytes(block)


def daily_movement(seconds_of_day: np.ndarray) -> np.ndarray:
    """A wearer's movement, as a multiple of the sensor noise, by time of day: still from
    23:00 to 07:00, and by day bouts of activity that come and go over minutes to hours."""
    hour = seconds_of_day / 3600.0
    awake = (hour >= 7) & (hour < 23)
    bouts = 1.0 + 0.5 * np.sin(hour * 1.3) + np.sin(hour * 7.1) ** 8 * 4 + np.sin(hour * 2.9) ** 16 * 8
    return np.where(awake, bouts, 0.15)


def recording(days: float = 1.0, fmt: int = 0x30, seed: int = 1,
              start: dt.datetime = dt.datetime(2023, 1, 5, 10, 0, 0),
              movement: bool = False, still_nights: bool = False) -> bytes:
    """A continuous 100 Hz recording of `days` days in sample format `fmt`; with `movement`,
    the noise follows `daily_movement`; with `still_nights` too, the device lies still at
    night, each hour on another of its six faces (a calibration against gravity then has
    still windows all round the sphere)."""
    count = FORMATS[fmt]
    rate = 100
    blocks = int(days * 86400 * rate) // count
    rng = np.random.default_rng(seed)
    p = np.zeros(blocks, dtype=PACKET)
    p["header"] = b"AX"
    p["length"] = 508
    p["session"] = 7
    p["sequence"] = np.arange(blocks, dtype=np.uint32)
    k = np.arange(blocks, dtype=np.int64)
    first = k * count                       # index of each block's first sample
    stamped = -(-first // rate) * rate      # the first sample on a whole second
    t0 = int(start.replace(tzinfo=dt.timezone.utc).timestamp())
    p["timestamp"] = pack_times(t0 + stamped // rate)
    p["offset"] = (stamped - first).astype(np.int16)
    p["rate"] = 0x4A
    p["format"] = fmt
    p["count"] = count
    minutes = (k * count // (rate * 60)).astype(np.int64)
    p["light"] = (300 + 200 * np.sin(minutes / 720.0 * np.pi)).astype(np.uint16) & 0x3FF
    p["temperature"] = (330 + (minutes % 50)).astype(np.uint16)
    p["battery"] = (200 - minutes * 100 // max(1, int(minutes[-1]) + 1)).astype(np.uint8)
    n = blocks * count
    phase = np.arange(n) / rate
    g = np.stack([np.sin(phase * 0.1), np.cos(phase * 0.1), np.full(n, 0.2)])
    scale: float | np.ndarray = 1.0
    if movement:  # gravity of exactly 1 g, so that stillness reads 0 mg
        g[:2] *= np.sqrt(0.96)
        of_day = (phase + start.hour * 3600 + start.minute * 60) % 86400
        scale = daily_movement(of_day)
        if still_nights:
            night = (of_day < 7 * 3600) | (of_day >= 23 * 3600)
            face = (phase[night] // 3600).astype(np.int64) % 6
            faces = np.array([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]],
                             dtype=float).T
            g[:, night] = faces[:, face]
            del night, face
    if fmt == 0x30:
        raw = np.clip(np.round(g * 256 / 2 + rng.normal(0, 6, size=(3, n)) * scale), -512, 511).astype(np.int64)
        e = 1
        words = (raw[0] & 0x3FF) | ((raw[1] & 0x3FF) << 10) | ((raw[2] & 0x3FF) << 20) | (e << 30)
        p["samples"][:, :480] = words.astype("<u4").view(np.uint8).reshape(blocks, 480)
    else:
        axes = fmt >> 4
        raw = np.clip(np.round(rng.normal(0, 800, size=(axes, n)) * scale), -32768, 32767).astype("<i2")
        acc = 0 if axes == 3 else 3
        raw[acc:acc + 3] = np.clip(np.round(g * 4096), -32768, 32767)
        p["light"] |= 4 << 13  # accelerometer counts of 1/4096 g
        area = raw.T.reshape(blocks, count * axes).view(np.uint8)
        p["samples"][:, :area.shape[1]] = area
    return header(start=start, end=start + dt.timedelta(days=days)) + p.tobytes()


def write(path: str | os.PathLike[str], days: float = 1.0, fmt: int = 0x30, seed: int = 1,
          movement: bool = False, still_nights: bool = False) -> str:
    data = recording(days, fmt, seed, movement=movement, still_nights=still_nights)
    with open(path, "wb") as fh:
        fh.write(data)
    return str(path)
