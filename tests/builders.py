"""Byte-level builders for CWA test recordings, and small exact reference helpers.

Every recording used by the tests is made here, field by field, with
``struct.pack``.  A recording is a 1024-byte metadata block followed by
512-byte sectors (normally data packets), all integers little-endian::

    from builders import header, packet, recording, write, pack_time

    data = recording(
        header(rate_code=0x4A, annotation=b"_c=1"),
        [packet(timestamp=pack_time(2023, 1, 5, 10), samples=[(1, 2, 3, 0)])],
    )
    path = write(tmp_path / "one.cwa", data)

Main pieces:

* packed timestamps: ``pack_time`` (validated), ``pack_time_raw`` (any field
  values that fit their bit widths, for deliberately invalid stamps),
  ``unpack_time`` / ``epoch_seconds`` (decoding as the reader does);
* ``header(**fields)`` -> 1024 bytes, ``packet(**fields)`` -> 512 bytes;
* packed 3-axis words: ``pack_word`` / ``unpack_word``;
* ``contiguous_blocks(n, ...)`` -> ``Block`` objects stamped like a real device;
* ``recording(header, sectors, trailing=b"")`` and ``write(path, data)``;
* references computed in the reader's own precision: ``natural_bounds``,
  ``sample_times_us``, ``data_timing``, ``to_us``, ``raw_time_text`` and the
  sample / block-reading decoders.

The single-precision steps of the reader are reproduced with ``numpy.float32``
so that references agree with the module to the last bit.
"""

from __future__ import annotations

import datetime as _dt
import math
import os
import random
import struct
from dataclasses import dataclass, field
from fractions import Fraction

import numpy as np

HEADER_SIZE = 1024
SECTOR_SIZE = 512
SAMPLE_AREA_OFFSET = 30
SAMPLE_AREA_SIZE = 480
ANNOTATION_OFFSET = 64
ANNOTATION_SIZE = 448

UNSET_TIME = 0x00000000
UNSET_TIME_ALL_ONES = 0xFFFFFFFF

HW_AX3 = 0x00
HW_AX6 = 0x64

# Supported sample formats: format byte -> (axes, bytes per sample).
FORMATS = {0x30: (3, 4), 0x32: (3, 6), 0x62: (6, 12), 0x92: (9, 18)}
CAPACITY = {fmt: SAMPLE_AREA_SIZE // bps for fmt, (_, bps) in FORMATS.items()}

_EPOCH = _dt.datetime(1970, 1, 1)
_F32 = np.float32

# ---------------------------------------------------------------------------
# Packed timestamps
# ---------------------------------------------------------------------------

_TIME_FIELDS = (  # name, shift, width
    ("year", 26, 6),
    ("month", 22, 4),
    ("day", 17, 5),
    ("hour", 12, 5),
    ("minute", 6, 6),
    ("second", 0, 6),
)


def pack_time_raw(year, month, day, hour=0, minute=0, second=0) -> int:
    """Pack date-time fields into the 32-bit stamp without any calendar check.

    ``year`` is the full year (2000 + the 6-bit field).  Each field only has
    to fit its bit width, so 30 February, month 0 or 13, hour 24, minute 60
    and second 63 can all be built.
    """
    values = (year - 2000, month, day, hour, minute, second)
    word = 0
    for (name, shift, width), value in zip(_TIME_FIELDS, values):
        if not 0 <= value < (1 << width):
            raise ValueError(f"{name} field {value} does not fit {width} bits")
        word |= value << shift
    return word


def pack_time(year, month, day, hour=0, minute=0, second=0) -> int:
    """Pack a real date-time (2000..2063) into the 32-bit stamp."""
    if not 2000 <= year <= 2063:
        raise ValueError("packed years run from 2000 to 2063")
    _dt.datetime(year, month, day, hour, minute, second)  # calendar check
    return pack_time_raw(year, month, day, hour, minute, second)


def pack_datetime(value: _dt.datetime) -> int:
    """Pack a naive ``datetime`` (its fraction of a second is dropped)."""
    return pack_time(value.year, value.month, value.day, value.hour, value.minute, value.second)


def unpack_time(word: int) -> _dt.datetime | None:
    """Decode a packed stamp like the reader: None for 0, 0xFFFFFFFF and invalid dates/times."""
    if word in (UNSET_TIME, UNSET_TIME_ALL_ONES):
        return None
    parts = {name: (word >> shift) & ((1 << width) - 1) for name, shift, width in _TIME_FIELDS}
    try:
        return _dt.datetime(
            parts["year"] + 2000, parts["month"], parts["day"],
            parts["hour"], parts["minute"], parts["second"],
        )
    except ValueError:
        return None


def epoch_seconds(word: int) -> int:
    """Whole seconds since 1970-01-01 of a valid packed stamp (device clock read as UTC)."""
    value = unpack_time(word)
    if value is None:
        raise ValueError(f"packed time 0x{word:08X} is unset or invalid")
    return (value - _EPOCH) // _dt.timedelta(seconds=1)


# ---------------------------------------------------------------------------
# Metadata block
# ---------------------------------------------------------------------------

def _bytes(value) -> bytes:
    return value.encode("utf-8") if isinstance(value, str) else bytes(value)


def header(
    *,
    packet_header=b"MD",
    packet_length=1020,
    hardware_type=HW_AX3,
    device_id_low=1234,
    session_id=0,
    upper_device_id=0xFFFF,
    logging_start=None,
    logging_end=None,
    flash_led=0,
    sensor_config=0,
    rate_code=0x4A,
    last_change=None,
    firmware_revision=48,
    annotation=b"",
    annotation_pad=0x20,
    filler=0x00,
    patch=None,
) -> bytes:
    """Build a 1024-byte metadata block.

    Times are packed ints; their defaults are logging start 2023-01-05 10:00:00,
    logging end 2023-01-06 10:00:00 and last change 2023-01-04 09:30:00 (pass 0
    or 0xFFFFFFFF for unset).  ``annotation`` (bytes or str, at most 448 bytes)
    is padded to 448 bytes with ``annotation_pad``.  Bytes the reader does not
    interpret are set to ``filler``; ``patch`` maps offsets to raw bytes written
    last (it may overwrite anything, the header characters included).
    """
    if logging_start is None:
        logging_start = pack_time(2023, 1, 5, 10)
    if logging_end is None:
        logging_end = pack_time(2023, 1, 6, 10)
    if last_change is None:
        last_change = pack_time(2023, 1, 4, 9, 30)
    buf = bytearray([filler]) * HEADER_SIZE
    head = _bytes(packet_header)
    if len(head) != 2:
        raise ValueError("packet_header must be 2 bytes")
    buf[0:2] = head
    struct.pack_into("<HBHIHII", buf, 2, packet_length, hardware_type, device_id_low,
                     session_id, upper_device_id, logging_start, logging_end)
    buf[26] = flash_led
    struct.pack_into("<BBIB", buf, 35, sensor_config, rate_code, last_change, firmware_revision)
    note = _bytes(annotation)
    if len(note) > ANNOTATION_SIZE:
        raise ValueError("annotation longer than 448 bytes")
    buf[ANNOTATION_OFFSET:ANNOTATION_OFFSET + ANNOTATION_SIZE] = (
        note + bytes([annotation_pad]) * (ANNOTATION_SIZE - len(note)))
    _apply_patch(buf, patch)
    return bytes(buf)


def _apply_patch(buf: bytearray, patch) -> None:
    for offset, raw in (patch or {}).items():
        raw = _bytes(raw)
        if offset < 0 or offset + len(raw) > len(buf):
            raise ValueError(f"patch at {offset} runs outside the {len(buf)}-byte buffer")
        buf[offset:offset + len(raw)] = raw


# ---------------------------------------------------------------------------
# Sample encodings
# ---------------------------------------------------------------------------

def pack_word(x: int, y: int, z: int, e: int = 0) -> int:
    """Packed 3-axis word: 10-bit two's-complement x, y, z (bits 0-9, 10-19, 20-29), exponent in bits 30-31."""
    for v in (x, y, z):
        if not -512 <= v <= 511:
            raise ValueError(f"packed axis value {v} outside -512..511")
    if not 0 <= e <= 3:
        raise ValueError("packed exponent must be 0..3")
    return (x & 0x3FF) | ((y & 0x3FF) << 10) | ((z & 0x3FF) << 20) | (e << 30)


def unpack_word(word: int) -> tuple[int, int, int, int]:
    """Inverse of ``pack_word``: (x, y, z, e) with signed axis fields."""
    def signed10(v):
        return v - 1024 if v & 0x200 else v
    return (signed10(word & 0x3FF), signed10((word >> 10) & 0x3FF),
            signed10((word >> 20) & 0x3FF), (word >> 30) & 3)


def encode_samples(fmt: int, samples) -> bytes:
    """Encode a list of integer tuples for format byte ``fmt``.

    0x30: (x, y, z) or (x, y, z, e) packed words, or plain ints taken as raw
    32-bit words.  Any other format: tuples of signed 16-bit values (for the
    supported ones the tuple length must be the axis count).
    """
    out = bytearray()
    for sample in samples:
        if fmt == 0x30:
            word = sample if isinstance(sample, int) else pack_word(*sample)
            out += struct.pack("<I", word)
        else:
            if fmt in FORMATS and len(sample) != FORMATS[fmt][0]:
                raise ValueError(f"format 0x{fmt:02X} needs {FORMATS[fmt][0]} values per sample")
            out += struct.pack(f"<{len(sample)}h", *sample)
    return bytes(out)


def light_word(accel_scale_exp=0, gyro_scale_code=0, raw_light=0) -> int:
    """The light word: accelerometer scale exponent (bits 15-13), gyro scale code (12-10), raw light (9-0)."""
    if not (0 <= accel_scale_exp <= 7 and 0 <= gyro_scale_code <= 7 and 0 <= raw_light <= 0x3FF):
        raise ValueError("light word field out of range")
    return (accel_scale_exp << 13) | (gyro_scale_code << 10) | raw_light


# ---------------------------------------------------------------------------
# Data packets
# ---------------------------------------------------------------------------

def packet(
    *,
    header=b"AX",
    packet_length=508,
    device_fractional=0,
    session_id=0,
    sequence_id=0,
    timestamp=None,
    light=None,
    accel_scale_exp=0,
    gyro_scale_code=0,
    raw_light=0,
    temperature=0,
    events=0,
    battery=0,
    rate_code=0x4A,
    format=0x30,
    timestamp_offset=0,
    sample_count=None,
    samples=None,
    checksum=None,
    patch=None,
) -> bytes:
    """Build one 512-byte data packet.

    ``timestamp`` is a packed int (default 2020-01-01 00:00:00).  ``light`` is
    the raw 16-bit word; when None it is made from ``accel_scale_exp``,
    ``gyro_scale_code`` and ``raw_light``.  ``samples`` is None (zeros), raw
    bytes for the 480-byte area (zero padded), or a list of integer tuples
    encoded by ``encode_samples``.  ``sample_count`` defaults to the number of
    tuples given, else to the full capacity of a supported format (1 for any
    other format byte).  ``checksum`` defaults to the word that makes the
    16-bit sum of the sector zero, as devices write it (the reader ignores it).
    ``patch`` maps offsets to raw bytes written last.
    """
    if timestamp is None:
        timestamp = pack_time(2020, 1, 1)
    if light is None:
        light = light_word(accel_scale_exp, gyro_scale_code, raw_light)
    if samples is None:
        area = b""
    elif isinstance(samples, (bytes, bytearray)):
        area = bytes(samples)
    else:
        samples = list(samples)
        area = encode_samples(format, samples)
        if sample_count is None:
            sample_count = len(samples)
    if len(area) > SAMPLE_AREA_SIZE:
        raise ValueError(f"{len(area)} sample bytes do not fit the 480-byte area")
    if sample_count is None:
        sample_count = CAPACITY.get(format, 1)
    head = _bytes(header)
    if len(head) != 2:
        raise ValueError("header must be 2 bytes")
    buf = bytearray(SECTOR_SIZE)
    buf[0:2] = head
    struct.pack_into("<HHIIIHHBBBBhH", buf, 2, packet_length, device_fractional, session_id,
                     sequence_id, timestamp, light, temperature, events, battery, rate_code,
                     format, timestamp_offset, sample_count)
    buf[SAMPLE_AREA_OFFSET:SAMPLE_AREA_OFFSET + len(area)] = area
    if checksum is None:
        checksum = (-sum(struct.unpack_from("<255H", buf, 0))) & 0xFFFF
    struct.pack_into("<H", buf, 510, checksum)
    _apply_patch(buf, patch)
    return bytes(buf)


@dataclass
class Block:
    """A built data packet with the values that went into it (``bytes(block)`` gives the sector)."""

    data: bytes
    timestamp: int
    timestamp_offset: int
    rate_code: int
    format: int
    sample_count: int
    samples: list = field(repr=False)
    light: int = 0

    def __bytes__(self) -> bytes:
        return self.data

    def natural_bounds(self) -> tuple[float, float]:
        return natural_bounds(self.timestamp, self.timestamp_offset, self.rate_code, self.sample_count)


def random_samples(fmt: int, count: int, rng: random.Random) -> list[tuple]:
    """Deterministic sample tuples covering the full value range of the format."""
    if fmt == 0x30:
        return [(rng.randint(-512, 511), rng.randint(-512, 511), rng.randint(-512, 511),
                 rng.randint(0, 3)) for _ in range(count)]
    axes = FORMATS[fmt][0]
    return [tuple(rng.randint(-32768, 32767) for _ in range(axes)) for _ in range(count)]


def contiguous_blocks(
    n: int,
    *,
    start=None,
    rate_code=0x4A,
    format=0x30,
    sample_count=None,
    seed=0,
    first_sequence_id=0,
    **packet_fields,
) -> list[Block]:
    """``n`` back-to-back blocks of a recording sampled at ``rate_code`` from ``start``.

    ``start`` (packed int, default 2020-01-01 00:00:00) is the time of the first
    sample.  As on a device, each block is stamped with a whole second at which
    one of the recording's samples falls (the first one at or after the block's
    first sample), and ``timestamp_offset`` is that sample's index relative to
    the block's first sample, so the natural start of block k is exactly
    start + k * count / rate.  Samples are pseudo-random from ``seed``;
    ``sample_count`` defaults to the format's capacity.  Extra keyword
    arguments go to ``packet`` for every block.
    """
    if start is None:
        start = pack_time(2020, 1, 1)
    count = CAPACITY[format] if sample_count is None else sample_count
    rate = Fraction(3200, 2 ** (15 - (rate_code & 0x0F)))
    t0 = unpack_time(start)
    if t0 is None:
        raise ValueError("start must be a valid packed time")
    # A whole second S (relative to start) holds a sample only when S * rate is
    # an integer, i.e. when S is a multiple of rate.denominator.
    step = rate.denominator
    rng = random.Random(seed)
    blocks = []
    for k in range(n):
        first = Fraction(k * count) / rate
        second = math.ceil(first / step) * step
        offset = int(second * rate) - k * count
        if not -32768 <= offset <= 32767:
            raise ValueError("timestamp offset does not fit 16 bits")
        stamp = pack_datetime(t0 + _dt.timedelta(seconds=second))
        samples = random_samples(format, count, rng)
        data = packet(timestamp=stamp, timestamp_offset=offset, rate_code=rate_code,
                      format=format, samples=samples, sequence_id=first_sequence_id + k,
                      **packet_fields)
        blocks.append(Block(data, stamp, offset, rate_code, format, count, samples,
                            struct.unpack_from("<H", data, 18)[0]))
    return blocks


# ---------------------------------------------------------------------------
# Files
# ---------------------------------------------------------------------------

def recording(header_bytes: bytes, sectors=(), trailing: bytes = b"") -> bytes:
    """Metadata block + sectors (each exactly 512 bytes; ``Block`` objects allowed) + trailing bytes."""
    if len(header_bytes) != HEADER_SIZE:
        raise ValueError("metadata block must be 1024 bytes")
    parts = [bytes(header_bytes)]
    for sector in sectors:
        sector = bytes(sector)
        if len(sector) != SECTOR_SIZE:
            raise ValueError(f"sector of {len(sector)} bytes; use trailing= for partial data")
        parts.append(sector)
    parts.append(bytes(trailing))
    return b"".join(parts)


def write(path, data: bytes) -> str:
    """Write ``data`` to ``path`` and return the path as a str (the module takes str paths only)."""
    with open(path, "wb") as fh:
        fh.write(data)
    return os.fspath(path)


# ---------------------------------------------------------------------------
# Reference computations (reader precision)
# ---------------------------------------------------------------------------

def rate_hz_f32(rate_code: int) -> np.float32:
    """3200 / 2**(15 - (code & 0x0F)) in single precision (exact)."""
    return _F32(3200) / _F32(2 ** (15 - (rate_code & 0x0F)))


def rate_hz(rate_code: int) -> float:
    """The same rate as a double, as the metadata reports give it."""
    return 3200 / 2 ** (15 - (rate_code & 0x0F))


def natural_bounds(timestamp: int, offset: int, rate_code: int, count: int) -> tuple[float, float]:
    """Half-open span [start, end) in device-clock seconds covered by a packet."""
    t = float(epoch_seconds(timestamp))
    f = rate_hz_f32(rate_code)
    q = -_F32(offset) / f
    fq = np.floor(q)
    start = (t + float(fq)) + float(_F32(q - fq))
    d = _F32(count) / f
    return start, start + float(d)


def continuity_start(start: float, end: float, prev_end: float | None) -> float:
    """Where a block's first sample goes: the previous natural end when the gap is
    under a second and the previous end lies before this block's natural end."""
    if prev_end is not None and start - prev_end < 1.0 and prev_end < end:
        return prev_end
    return start


_I64_MAX = 2**63 - 1
_I64_MIN = -(2**63)


def to_us(seconds: float) -> int:
    """Seconds -> microseconds: times 1e6, truncated toward zero, saturating, NaN -> 0."""
    t = seconds * 1_000_000.0
    if math.isnan(t):
        return 0
    if t > 9223372036854774784.0:
        return _I64_MAX
    if t < -9223372036854775808.0:
        return _I64_MIN
    return int(t)


def sample_times_us(timestamp, offset, rate_code, n, prev_end=None) -> tuple[list[int], float]:
    """Times of the n decoded samples of a block, and its end (for the next block)."""
    if n == 0:
        return [], (0.0 if prev_end is None else prev_end)
    start, end = natural_bounds(timestamp, offset, rate_code, n)
    s = continuity_start(start, end, prev_end)
    d = end - s
    return [to_us(s + (d * i) / n) for i in range(n)], end


def data_timing(metas) -> tuple[int | None, int | None, int]:
    """(first_sample_us, last_sample_us, sample_count) of the metadata scan.

    ``metas`` are ``Block`` objects or (timestamp, offset, rate_code, count)
    tuples of the sectors that carry packet metadata, in file order.
    """
    first = last = prev = None
    total = 0
    for meta in metas:
        if isinstance(meta, Block):
            meta = (meta.timestamp, meta.timestamp_offset, meta.rate_code, meta.sample_count)
        n = meta[3]
        ns, ne = natural_bounds(*meta)
        s = continuity_start(ns, ne, prev)
        if first is None:
            first = to_us(s)
        last = to_us(s + ((ne - s) / n) * (n - 1))
        total += n
        prev = ne
    return first, last, total


def raw_time_text(us: int | None) -> str | None:
    """ISO text of device-clock microseconds: no fraction, 3 digits for whole
    milliseconds, else 6 digits (years 1..9999 only)."""
    if us is None:
        return None
    secs, frac = divmod(us, 1_000_000)
    text = (_EPOCH + _dt.timedelta(seconds=secs)).strftime("%Y-%m-%dT%H:%M:%S")
    if frac == 0:
        return text
    if frac % 1000 == 0:
        return f"{text}.{frac // 1000:03d}"
    return f"{text}.{frac:06d}"


def header_time_text(word: int) -> str | None:
    """Text of a packed header time as the metadata reports give it (None when unset/invalid)."""
    value = unpack_time(word)
    return None if value is None else value.strftime("%Y-%m-%dT%H:%M:%S")


def accel_scale(accel_scale_exp: int) -> np.float32:
    return _F32(2 ** (8 + accel_scale_exp))


def gyro_range(gyro_scale_code: int) -> int:
    return 2000 if gyro_scale_code == 0 else 8000 >> gyro_scale_code


def decode_sample(fmt: int, sample, light: int = 0, include_magnetometer: bool = True) -> dict:
    """Expected single-precision values of one sample tuple (as given to ``packet``).

    Returns a dict with acc_x.. and, where present, gyro_x.., mag_x.. as
    numpy.float32.  Absent sensors are left out.
    """
    a = (light >> 13) & 7
    g = (light >> 10) & 7
    div = accel_scale(a)
    out = {}
    if fmt == 0x30:
        x, y, z, e = unpack_word(sample) if isinstance(sample, int) else (tuple(sample) + (0,))[:4]
        vals = (x * 2**e, y * 2**e, z * 2**e)
        out.update(zip(("acc_x", "acc_y", "acc_z"), (_F32(v) / div for v in vals)))
        return out
    if fmt == 0x32:
        out.update(zip(("acc_x", "acc_y", "acc_z"), (_F32(v) / div for v in sample)))
        return out
    rng = gyro_range(g)
    if fmt == 0x62:
        s = _F32(32768 / rng)
        out.update(zip(("gyro_x", "gyro_y", "gyro_z"), (_F32(v) / s for v in sample[:3])))
        out.update(zip(("acc_x", "acc_y", "acc_z"), (_F32(v) / div for v in sample[3:6])))
        return out
    if fmt == 0x92:
        factor = _F32(rng) / _F32(32768)
        out.update(zip(("gyro_x", "gyro_y", "gyro_z"), (_F32(v) * factor for v in sample[:3])))
        out.update(zip(("acc_x", "acc_y", "acc_z"),
                       (_F32(v) * (_F32(1) / div) for v in sample[3:6])))
        if include_magnetometer:
            out.update(zip(("mag_x", "mag_y", "mag_z"),
                           (_F32(v) * _F32(2.0**-15) for v in sample[6:9])))
        return out
    raise ValueError(f"unsupported format 0x{fmt:02X}")


def light_lux(light: int) -> np.float32:
    """10 ** ((light & 0x3FF) / 341) in single precision, by the C library's ``powf``."""
    return light_lux_libm(light)


def temperature_c(temperature: int) -> np.float32:
    return (_F32(temperature & 0x3FF) * _F32(75)) * _F32(1 / 256) + _F32(-50)


def battery_v(battery: int) -> np.float32:
    return (_F32(battery + 512) * _F32(6)) * _F32(1 / 1024)


# ---------------------------------------------------------------------------
# Light through the C library's powf
# ---------------------------------------------------------------------------

_powf = None


def light_lux_libm(light: int) -> np.float32:
    """10 ** ((light & 0x3FF) / 341) computed by the C library's single-precision ``powf``,
    the function the reader uses (NumPy's float32 power differs from it in the last bit
    for about a fifth of the raw values, e.g. raw 7)."""
    global _powf
    if _powf is None:
        import ctypes
        import ctypes.util

        libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
        libm.powf.restype = ctypes.c_float
        libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]
        _powf = libm.powf
    exponent = _F32(light & 0x3FF) / _F32(341)
    return _F32(_powf(10.0, float(exponent)))
