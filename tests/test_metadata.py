"""read_metadata and sampling_consistency_report on recordings built byte by byte."""

import datetime as dt
import math
import os
import random

import pytest

import tiltgram

from builders import (
    CAPACITY, HW_AX3, HW_AX6, contiguous_blocks, data_timing, epoch_seconds, header,
    header_time_text, pack_datetime, pack_time, pack_time_raw, packet, raw_time_text, rate_hz,
)

EPOCH = dt.datetime(1970, 1, 1)

METADATA_KEYS = [
    "packet_header", "packet_length", "hardware_type", "device_id", "session_id",
    "upper_device_id", "logging_start_time_raw", "logging_end_time_raw", "last_change_time_raw",
    "start_from_data_raw", "end_from_data_raw", "flash_led", "sensor_config", "sample_rate_hz",
    "accel_range", "firmware_revision", "annotation", "gyro_range", "magnetometer_enabled",
]
REPORT_KEYS = [
    "start_from_header_raw", "end_from_header_raw", "duration_s_from_header",
    "start_from_data_raw", "end_from_data_raw", "duration_s_from_data",
    "samplingrate_hz_from_header", "samplingrate_hz_from_data",
]
REPORTS = [tiltgram.read_metadata, tiltgram.sampling_consistency_report]
REPORT_IDS = ["read_metadata", "report"]

T0 = pack_time(2023, 1, 5, 10)
EOF_TEXT = "IO error: failed to fill whole buffer"


def at(h, m, s):
    return pack_time(2023, 1, 5, h, m, s)


def assert_types(result, types):
    for key, expected in types.items():
        assert type(result[key]) in expected, (key, result[key])


# --- whole dictionaries -------------------------------------------------------------

def test_read_metadata_full_dict_ax3(cwa):
    path = cwa(
        [packet(timestamp=T0, rate_code=0x4A, format=0x30, sample_count=120)],
        packet_length=1020, hardware_type=0x17, device_id_low=1234, session_id=0xDEADBEEF,
        upper_device_id=0xFFFF, logging_start=T0, logging_end=pack_time(2023, 1, 6, 10),
        last_change=pack_time(2023, 1, 4, 9, 30, 15), flash_led=3, sensor_config=0x12,
        rate_code=0x4A, firmware_revision=48, annotation=b"_c=1&_s=abc",
    )
    result = tiltgram.read_metadata(path)
    assert type(result) is dict
    assert list(result) == METADATA_KEYS
    assert result == {
        "packet_header": "MD",
        "packet_length": 1020,
        "hardware_type": "AX3",
        "device_id": 1234,
        "session_id": 0xDEADBEEF,
        "upper_device_id": 65535,
        "logging_start_time_raw": "2023-01-05T10:00:00",
        "logging_end_time_raw": "2023-01-06T10:00:00",
        "last_change_time_raw": "2023-01-04T09:30:15",
        "start_from_data_raw": "2023-01-05T10:00:00",
        "end_from_data_raw": "2023-01-05T10:00:01.190",
        "flash_led": 3,
        "sensor_config": 0x12,
        "sample_rate_hz": 100.0,
        "accel_range": 8,
        "firmware_revision": 48,
        "annotation": "_c=1&_s=abc",
        "gyro_range": None,
        "magnetometer_enabled": False,
    }
    assert_types(result, {
        "packet_length": {int}, "device_id": {int}, "session_id": {int}, "upper_device_id": {int},
        "flash_led": {int}, "sensor_config": {int}, "sample_rate_hz": {float},
        "accel_range": {int}, "firmware_revision": {int}, "magnetometer_enabled": {bool},
    })


def test_read_metadata_ax6_with_gyro_and_magnetometer(cwa):
    result = tiltgram.read_metadata(cwa(hardware_type=HW_AX6, sensor_config=0x13, rate_code=0x0F))
    assert result["hardware_type"] == "AX6"
    assert result["gyro_range"] == 1000 and type(result["gyro_range"]) is int
    assert result["magnetometer_enabled"] is True
    assert result["sample_rate_hz"] == 3200.0 and result["accel_range"] == 16


def test_report_full_dict_single_block(cwa):
    path = cwa([packet(timestamp=T0, sample_count=120)], logging_start=T0,
               logging_end=pack_time(2023, 1, 6, 10), rate_code=0x4A)
    result = tiltgram.sampling_consistency_report(path)
    assert list(result) == REPORT_KEYS
    assert result == {
        "start_from_header_raw": "2023-01-05T10:00:00",
        "end_from_header_raw": "2023-01-06T10:00:00",
        "duration_s_from_header": 86400.0,
        "start_from_data_raw": "2023-01-05T10:00:00",
        "end_from_data_raw": "2023-01-05T10:00:01.190",
        "duration_s_from_data": 1.19,
        "samplingrate_hz_from_header": 100.0,
        "samplingrate_hz_from_data": 119 / 1.19,
    }
    assert result["samplingrate_hz_from_data"] == 100.0
    for key in ("duration_s_from_header", "duration_s_from_data", "samplingrate_hz_from_header",
                "samplingrate_hz_from_data"):
        assert type(result[key]) is float, key


# --- metadata block fields ------------------------------------------------------------

@pytest.mark.parametrize("low, upper, device_id", [
    (1234, 0xFFFF, 1234),
    (2, 1, 65538),
    (5, 0, 5),
    (0xFFFF, 0xFFFE, 0xFFFEFFFF),
    (0, 0xFFFF, 0),
])
def test_device_id(cwa, low, upper, device_id):
    result = tiltgram.read_metadata(cwa(device_id_low=low, upper_device_id=upper))
    assert (result["device_id"], result["upper_device_id"]) == (device_id, upper)


@pytest.mark.parametrize("hw, config, gyro, mag", [
    (HW_AX6, 0x00, None, False),
    (HW_AX6, 0xFF, None, False),
    (HW_AX6, 0x01, None, False),
    (HW_AX6, 0x02, 2000, False),
    (HW_AX6, 0x03, 1000, False),
    (HW_AX6, 0x04, 500, False),
    (HW_AX6, 0x05, 250, False),
    (HW_AX6, 0x06, 125, False),
    (HW_AX6, 0x07, None, False),
    (HW_AX6, 0x13, 1000, True),
    (HW_AX6, 0x17, None, True),
    (HW_AX6, 0x10, None, True),
    (HW_AX6, 0xF6, 125, True),
    (HW_AX6, 0xFE, None, True),
    (HW_AX3, 0x12, None, False),
    (HW_AX3, 0xF3, None, False),
    (0x17, 0x13, None, False),
    (0xFF, 0x13, None, False),
    (0x65, 0x13, None, False),
], ids=lambda v: f"{v:#04x}" if isinstance(v, int) and not isinstance(v, bool) else str(v))
def test_hardware_and_sensor_config(cwa, hw, config, gyro, mag):
    result = tiltgram.read_metadata(cwa(hardware_type=hw, sensor_config=config))
    assert result["hardware_type"] == ("AX6" if hw == HW_AX6 else "AX3")
    assert result["sensor_config"] == config
    assert result["gyro_range"] == gyro
    assert result["magnetometer_enabled"] is mag


@pytest.mark.parametrize("code, rate, accel_range", [
    (0x4A, 100.0, 8),
    (0x0F, 3200.0, 16),
    (0xC5, 3.125, 2),
    (0x87, 12.5, 4),
    (0x00, 0.09765625, 16),
    (0x3A, 100.0, 16),
    (0xFF, 3200.0, 2),
    (0x41, 0.1953125, 8),
], ids=lambda v: f"{v:#04x}" if type(v) is int and v > 16 else None)
def test_rate_code(cwa, code, rate, accel_range):
    result = tiltgram.read_metadata(cwa(rate_code=code))
    assert result["sample_rate_hz"] == rate and type(result["sample_rate_hz"]) is float
    assert result["accel_range"] == accel_range
    assert tiltgram.sampling_consistency_report(cwa(rate_code=code))["samplingrate_hz_from_header"] == rate


def test_unchecked_fields_are_reported_raw(cwa):
    result = tiltgram.read_metadata(cwa(packet_length=0xFFFF, flash_led=0xFF, firmware_revision=0xFF,
                                        session_id=0xFFFFFFFF))
    assert (result["packet_length"], result["flash_led"], result["firmware_revision"],
            result["session_id"]) == (0xFFFF, 0xFF, 0xFF, 0xFFFFFFFF)


def test_uninterpreted_bytes_are_ignored(cwa):
    fields = dict(hardware_type=HW_AX6, sensor_config=0x24, annotation=b"note", device_id_low=7,
                  upper_device_id=3, flash_led=2)
    plain = tiltgram.read_metadata(cwa(filler=0x00, **fields))
    noisy = tiltgram.read_metadata(cwa(filler=0x5A, **fields))
    assert noisy == plain
    assert noisy["annotation"] == "note"


HEADER_TIMES = [
    (0x00000000, None),
    (0xFFFFFFFF, None),
    (pack_time(2023, 1, 5, 10), "2023-01-05T10:00:00"),
    (pack_time(2000, 1, 1), "2000-01-01T00:00:00"),
    (pack_time(2063, 12, 31, 23, 59, 59), "2063-12-31T23:59:59"),
    (pack_time(2024, 2, 29, 12, 34, 56), "2024-02-29T12:34:56"),
    (pack_time(2000, 2, 29), "2000-02-29T00:00:00"),
    (pack_time_raw(2023, 2, 29), None),
    (pack_time_raw(2023, 4, 31), None),
    (pack_time_raw(2023, 0, 10), None),
    (pack_time_raw(2023, 13, 10), None),
    (pack_time_raw(2023, 1, 0), None),
    (pack_time_raw(2023, 1, 5, 24), None),
    (pack_time_raw(2023, 1, 5, 10, 60), None),
    (pack_time_raw(2023, 1, 5, 10, 0, 60), None),
]


@pytest.mark.parametrize("field, key", [
    ("logging_start", "logging_start_time_raw"),
    ("logging_end", "logging_end_time_raw"),
    ("last_change", "last_change_time_raw"),
])
@pytest.mark.parametrize("packed, text", HEADER_TIMES, ids=lambda v: f"{v:#010x}" if isinstance(v, int) else None)
def test_header_times(cwa, field, key, packed, text):
    result = tiltgram.read_metadata(cwa(**{field: packed}))
    assert result[key] == text
    assert list(result) == METADATA_KEYS


@pytest.mark.parametrize("area, pad, text", [
    (b"", 0x20, ""),
    (b"", 0x00, ""),
    (b"", 0xFF, ""),
    (b"abc" + b" " * 5 + b"\xff" * 5, 0x00, "abc"),
    (b"abc \x00\xff \x00", 0xFF, "abc"),
    (b"a\xffb", 0x20, "a\ufffdb"),
    (b"a\x00b", 0x00, "a\x00b"),
    (b"  lead", 0x20, "  lead"),
    (b"_c=1%20x&_s=a+b", 0x20, "_c=1%20x&_s=a+b"),
    ("h\u00e9llo \u2713".encode(), 0x00, "h\u00e9llo \u2713"),
    (b"ab\xe2\x82", 0xFF, "ab\ufffd"),
    (b"\xc3(x", 0x20, "\ufffd(x"),
    (b"x" * 448, 0x20, "x" * 448),
    (b"x" * 447 + b"\xff", 0x20, "x" * 447),
], ids=["spaces", "zeros", "ff", "abc-spaces-ff", "abc-mixed-pad", "ff-inside", "nul-inside",
        "leading-spaces", "not-url-decoded", "utf8", "cut-utf8", "invalid-utf8", "full", "full-ff"])
def test_annotation(cwa, area, pad, text):
    result = tiltgram.read_metadata(cwa(annotation=area, annotation_pad=pad, filler=ord("Z")))
    assert result["annotation"] == text


# --- metadata block errors ------------------------------------------------------------

@pytest.mark.parametrize("data, message", [
    (b"", EOF_TEXT),
    (b"MD" + bytes(1021), EOF_TEXT),
    (b"AX" + bytes(98), EOF_TEXT),
    (header(packet_header=b"AX"), "First block is not a metadata block"),
    (header(packet_header=b"md"), "First block is not a metadata block"),
    (header(packet_header=b"\x00\x00"), "First block is not a metadata block"),
    (header(packet_header=b"\xc3\xa9"), "First block is not a metadata block"),
    (header(packet_header=b"\xc2\x80"), "First block is not a metadata block"),
    (header(packet_header=b"\xff\xff"), "Invalid packet header format"),
    (header(packet_header=b"M\x80"), "Invalid packet header format"),
    (header(packet_header=b"\xc3A"), "Invalid packet header format"),
    (header(packet_header=b"\xe2\x82"), "Invalid packet header format"),
    (header(packet_header=b"\xc0\x80"), "Invalid packet header format"),
], ids=["empty", "1023-bytes", "short-AX", "AX", "md", "nul", "e-acute", "c2-80", "ffff", "M80",
        "c3-A", "cut-3-byte", "overlong"])
@pytest.mark.parametrize("report", REPORTS, ids=REPORT_IDS)
def test_metadata_block_errors(write_file, report, data, message):
    with pytest.raises(RuntimeError) as exc:
        report(write_file(data))
    assert type(exc.value) is RuntimeError
    assert str(exc.value) == message


# --- data scan: sectors and packet errors --------------------------------------------------

@pytest.mark.parametrize("report", REPORTS, ids=REPORT_IDS)
def test_no_data_gives_absent_data_times(cwa, report):
    for sectors in ([], [bytes(512), b"\xff" * 512,
                         packet(sample_count=0, rate_code=0, format=0xFF, timestamp=0)]):
        result = report(cwa(sectors))
        assert result["start_from_data_raw"] is None
        assert result["end_from_data_raw"] is None
        if report is tiltgram.sampling_consistency_report:
            assert result["duration_s_from_data"] is None
            assert result["samplingrate_hz_from_data"] is None
            assert result["duration_s_from_header"] == 86400.0


@pytest.mark.parametrize("k, extra", [(0, 100), (1, 100), (2, 100), (1, 1), (1, 511)])
@pytest.mark.parametrize("report", REPORTS, ids=REPORT_IDS)
def test_trailing_partial_sector(cwa, report, k, extra):
    path = cwa(contiguous_blocks(k), trailing=b"\x00" * extra)
    with pytest.raises(RuntimeError) as exc:
        report(path)
    assert str(exc.value) == EOF_TEXT


BAD_PACKETS = [
    (dict(rate_code=0), "Old CWA format packets are not supported"),
    (dict(rate_code=0, format=0x31), "Old CWA format packets are not supported"),
    (dict(rate_code=0, timestamp=0), "Old CWA format packets are not supported"),
    (dict(format=0x31), "Unsupported sample format: 3 axes, packing 1"),
    (dict(format=0x60), "Unsupported sample format: 6 axes, packing 0"),
    (dict(format=0x42), "Unsupported sample format: 4 axes, packing 2"),
    (dict(format=0x00), "Unsupported sample format: 0 axes, packing 0"),
    (dict(format=0xF2), "Unsupported sample format: 15 axes, packing 2"),
    (dict(format=0x33, sample_count=500), "Unsupported sample format: 3 axes, packing 3"),
    (dict(format=0x30, sample_count=121), "Sample count exceeds packet capacity"),
    (dict(format=0x32, sample_count=81), "Sample count exceeds packet capacity"),
    (dict(format=0x62, sample_count=41), "Sample count exceeds packet capacity"),
    (dict(format=0x92, sample_count=27), "Sample count exceeds packet capacity"),
    (dict(format=0x30, sample_count=0xFFFF), "Sample count exceeds packet capacity"),
    (dict(format=0x92, sample_count=27, timestamp=0), "Sample count exceeds packet capacity"),
    (dict(timestamp=0), "Invalid block timestamp"),
    (dict(timestamp=0xFFFFFFFF), "Invalid block timestamp"),
    (dict(timestamp=pack_time_raw(2023, 2, 30)), "Invalid block timestamp"),
    (dict(timestamp=pack_time_raw(2023, 2, 29)), "Invalid block timestamp"),
    (dict(timestamp=pack_time_raw(2023, 13, 1)), "Invalid block timestamp"),
    (dict(timestamp=pack_time_raw(2023, 1, 5, 24)), "Invalid block timestamp"),
    (dict(timestamp=pack_time_raw(2023, 1, 5, 10, 0, 60)), "Invalid block timestamp"),
]


@pytest.mark.parametrize("fields, message", BAD_PACKETS,
                         ids=[f"{i}-{m.split()[0]}" for i, (_, m) in enumerate(BAD_PACKETS)])
@pytest.mark.parametrize("position", ["first", "after-good-blocks"])
def test_bad_packet(cwa, fields, message, position):
    before = contiguous_blocks(2) if position != "first" else []
    path = cwa(before + [packet(**fields)] + contiguous_blocks(1))
    with pytest.raises(RuntimeError) as exc:
        tiltgram.read_metadata(path)
    assert str(exc.value) == message


def test_bad_packet_in_report_and_before_partial_sector(cwa):
    path = cwa([packet(rate_code=0)], trailing=b"\x00" * 100)
    with pytest.raises(RuntimeError, match="^Old CWA format packets are not supported$"):
        tiltgram.sampling_consistency_report(path)


def test_packet_checks_skip_non_data_sectors(cwa):
    # Not "AX", or no samples: skipped whatever the other fields hold.
    junk = [
        packet(header=b"XA", rate_code=0, format=0x31, timestamp=0),
        packet(header=b"ax", sample_count=121),
        packet(sample_count=0, rate_code=0, format=0x42, timestamp=0xFFFFFFFF),
    ]
    result = tiltgram.read_metadata(cwa(junk + contiguous_blocks(1, start=T0)))
    assert result["start_from_data_raw"] == "2023-01-05T10:00:00"
    assert result["end_from_data_raw"] == "2023-01-05T10:00:01.190"


@pytest.mark.parametrize("fmt, count", [(0x30, 120), (0x32, 80), (0x62, 40), (0x92, 26)])
def test_full_packets_are_accepted(cwa, fmt, count):
    result = tiltgram.read_metadata(cwa([packet(timestamp=T0, format=fmt, sample_count=count)]))
    _, last, _ = data_timing([(T0, 0, 0x4A, count)])
    assert result["start_from_data_raw"] == "2023-01-05T10:00:00"
    assert result["end_from_data_raw"] == raw_time_text(last)


# --- data timing ------------------------------------------------------------------------

@pytest.mark.parametrize("offset, code, count, start, end", [
    (0, 0x4A, 120, "2023-01-05T10:00:00", "2023-01-05T10:00:01.190"),
    (20, 0x4A, 120, "2023-01-05T09:59:59.800", "2023-01-05T10:00:00.990"),
    (-50, 0x4A, 120, "2023-01-05T10:00:00.500", "2023-01-05T10:00:01.690"),
    (0, 0x48, 40, "2023-01-05T10:00:00", "2023-01-05T10:00:01.560"),
    (0, 0x47, 120, "2023-01-05T10:00:00", "2023-01-05T10:00:09.520"),
    (1, 0x4F, 120, "2023-01-05T09:59:59.999687", "2023-01-05T10:00:00.036874"),
    (0, 0x4A, 1, "2023-01-05T10:00:00", "2023-01-05T10:00:00"),
    # Extreme offsets, where the single-precision steps show in the microseconds.
    (-32768, 0x40, 120, "2023-01-09T07:12:24.312500", "2023-01-09T07:32:42.872548"),
    (32767, 0x4F, 120, "2023-01-05T09:59:49.760312", "2023-01-05T09:59:49.797499"),
    (-32768, 0x47, 26, "2023-01-05T10:43:41.439941", "2023-01-05T10:43:43.439941"),
    (12345, 0x4B, 80, "2023-01-05T09:58:58.275001", "2023-01-05T09:58:58.670001"),
], ids=["plain", "offset+20", "offset-50", "25Hz", "12.5Hz", "3200Hz-offset1", "one-sample",
        "min-offset-slowest", "max-offset-fastest", "min-offset-12.5Hz", "offset-200Hz"])
def test_single_block_timing(cwa, offset, code, count, start, end):
    # The header's own rate code (0x4A) plays no part: each packet carries its rate.
    blk = packet(timestamp=T0, timestamp_offset=offset, rate_code=code, sample_count=count)
    result = tiltgram.read_metadata(cwa([blk], rate_code=0x4A))
    assert (result["start_from_data_raw"], result["end_from_data_raw"]) == (start, end)


def test_packet_rate_code_high_bits_are_ignored(cwa):
    a = tiltgram.read_metadata(cwa([packet(timestamp=T0, rate_code=0x0A)]))
    b = tiltgram.read_metadata(cwa([packet(timestamp=T0, rate_code=0xFA)]))
    assert a["end_from_data_raw"] == b["end_from_data_raw"] == "2023-01-05T10:00:01.190"


B1 = (T0, 0, 0x4A, 100)  # 10:00:00 .. 10:00:01 exactly


@pytest.mark.parametrize("second, end", [
    # natural start 01.99: gap 0.99 s < 1 s, so the block starts at 01.00
    ((at(10, 0, 2), 1, 0x4A, 100), "2023-01-05T10:00:02.970100"),
    # natural start 02.00: a gap of a whole second keeps the block's own start
    ((at(10, 0, 2), 0, 0x4A, 100), "2023-01-05T10:00:02.990"),
    # natural start 01.00 equals the previous end; 120 samples end at 02.2
    ((at(10, 0, 1), 0, 0x4A, 120), "2023-01-05T10:00:02.190"),
    # overlap of 0.5 s: starts at the previous end 01.00 and ends at 01.7
    ((at(10, 0, 1), 50, 0x4A, 120), "2023-01-05T10:00:01.694166"),
    # clock set back 10 s: the previous end lies past this block's natural end, own start kept
    ((at(9, 59, 50), 0, 0x4A, 100), "2023-01-05T09:59:50.990"),
    # previous end equals the natural end exactly: own start kept
    ((T0, 0, 0x4A, 100), "2023-01-05T10:00:00.990"),
    # previous end just before the natural end: moved to the previous end
    ((T0, 0, 0x4A, 101), "2023-01-05T10:00:01.009901"),
], ids=["gap-0.99", "gap-1.0", "touching", "overlap", "set-back", "end-equal", "end-after"])
def test_continuity_between_blocks(cwa, second, end):
    result = tiltgram.read_metadata(cwa([packet(timestamp=B1[0], sample_count=100),
                                         bytes(512),  # skipped sectors keep the previous end
                                         packet(timestamp=second[0], timestamp_offset=second[1],
                                                rate_code=second[2], sample_count=second[3])]))
    assert result["start_from_data_raw"] == "2023-01-05T10:00:00"
    assert result["end_from_data_raw"] == end


def test_set_back_clock_report(cwa):
    path = cwa([packet(timestamp=T0, sample_count=100),
                packet(timestamp=at(9, 59, 50), sample_count=100)])
    result = tiltgram.sampling_consistency_report(path)
    assert result["end_from_data_raw"] == "2023-01-05T09:59:50.990"
    assert result["duration_s_from_data"] == -9.01
    assert result["samplingrate_hz_from_data"] is None


@pytest.mark.parametrize("code, fmt", [
    (0x4F, 0x30), (0x4D, 0x32), (0x4A, 0x62), (0x48, 0x92), (0x47, 0x30), (0x44, 0x32), (0x40, 0x30),
], ids=lambda v: f"{v:#04x}")
def test_contiguous_recording(cwa, code, fmt):
    blocks = contiguous_blocks(5, start=at(23, 59, 58), rate_code=code, format=fmt, seed=code)
    path = cwa(blocks, rate_code=code)
    first, last, count = data_timing(blocks)
    meta = tiltgram.read_metadata(path)
    assert meta["start_from_data_raw"] == raw_time_text(first) == "2023-01-05T23:59:58"
    assert meta["end_from_data_raw"] == raw_time_text(last)
    report = tiltgram.sampling_consistency_report(path)
    duration = (last - first) / 1_000_000
    assert report["duration_s_from_data"] == duration
    assert report["samplingrate_hz_from_data"] == (count - 1) / duration
    assert math.isclose(report["samplingrate_hz_from_data"], rate_hz(code), rel_tol=1e-5)


# --- sampling consistency report --------------------------------------------------------

@pytest.mark.parametrize("start, end, duration", [
    (pack_time(2023, 1, 5, 10), pack_time(2023, 1, 6, 10), 86400.0),
    (pack_time(2023, 1, 5, 10), pack_time(2023, 1, 5, 9), -3600.0),
    (pack_time(2023, 1, 5, 10), pack_time(2023, 1, 5, 10), 0.0),
    (pack_time(2024, 2, 28), pack_time(2024, 3, 1), 172800.0),
    (pack_time(2000, 1, 1), pack_time(2063, 12, 31, 23, 59, 59), 2019686399.0),
    (pack_time(2023, 1, 5, 10), 0xFFFFFFFF, None),
    (0, pack_time(2023, 1, 5, 10), None),
    (pack_time(2023, 1, 5, 10), pack_time_raw(2023, 1, 5, 24), None),
], ids=["day", "negative", "zero", "leap", "whole-range", "unset-end", "unset-start", "invalid-end"])
def test_header_duration(cwa, start, end, duration):
    result = tiltgram.sampling_consistency_report(cwa(logging_start=start, logging_end=end))
    assert result["duration_s_from_header"] == duration
    if duration is not None:
        assert type(result["duration_s_from_header"]) is float
    assert result["start_from_header_raw"] == header_time_text(start)
    assert result["end_from_header_raw"] == header_time_text(end)


@pytest.mark.parametrize("sectors", [
    [packet(timestamp=T0, sample_count=1)],
    # Two one-sample blocks with the same natural span: the second keeps its own start.
    [packet(timestamp=T0, sample_count=1), packet(timestamp=T0, sample_count=1)],
], ids=["one-sample", "two-samples-same-time"])
def test_zero_data_duration_has_no_data_rate(cwa, sectors):
    result = tiltgram.sampling_consistency_report(cwa(sectors))
    assert result["end_from_data_raw"] == "2023-01-05T10:00:00"
    assert result["duration_s_from_data"] == 0.0
    assert type(result["duration_s_from_data"]) is float
    assert result["samplingrate_hz_from_data"] is None


def test_data_rate_counts_samples_of_every_block(cwa):
    # Three single-sample blocks two seconds apart (sample-less sectors not counted).
    path = cwa([packet(timestamp=at(10, 0, 0), sample_count=1),
                packet(timestamp=at(10, 0, 2), sample_count=1),
                packet(timestamp=at(10, 0, 3), sample_count=0),
                packet(timestamp=at(10, 0, 4), sample_count=1)])
    result = tiltgram.sampling_consistency_report(path)
    assert result["end_from_data_raw"] == "2023-01-05T10:00:04"
    assert result["duration_s_from_data"] == 4.0
    assert result["samplingrate_hz_from_data"] == 0.5


def test_clock_set_back_before_a_long_block(cwa):
    # A 0.1953125 Hz sample ends its block 5.12 s later; the next block lies inside
    # that span but ends before it, so it keeps its own start.
    path = cwa([packet(timestamp=T0, sample_count=1, rate_code=0x41),
                packet(timestamp=T0, timestamp_offset=-50, sample_count=1)])
    result = tiltgram.sampling_consistency_report(path)
    assert result["end_from_data_raw"] == "2023-01-05T10:00:00.500"
    assert result["duration_s_from_data"] == 0.5
    assert result["samplingrate_hz_from_data"] == 2.0


@pytest.mark.parametrize("seed", range(40))
def test_random_recordings_match_reference_timing(cwa, seed):
    # Irregular recordings: random rates, offsets, counts, clock jumps both ways and
    # skipped sectors, checked against the reference scan.
    rng = random.Random(seed)
    sectors, metas = [], []
    base = epoch_seconds(T0)
    for _ in range(rng.randint(1, 12)):
        if rng.random() < 0.15:
            sectors.append(rng.choice([bytes(512), packet(sample_count=0)]))
            continue
        base += rng.choice([0, 1, 1, 2, 3, -1, -5, 40])
        stamp = pack_datetime(EPOCH + dt.timedelta(seconds=base))
        fmt = rng.choice(list(CAPACITY))
        meta = (stamp, rng.randint(-300, 300), rng.randint(0x01, 0xFF), rng.randint(1, CAPACITY[fmt]))
        metas.append(meta)
        sectors.append(packet(timestamp=meta[0], timestamp_offset=meta[1], rate_code=meta[2],
                              format=fmt, sample_count=meta[3]))
    path = cwa(sectors)
    first, last, count = data_timing(metas)
    meta = tiltgram.read_metadata(path)
    report = tiltgram.sampling_consistency_report(path)
    assert (meta["start_from_data_raw"], meta["end_from_data_raw"]) == (raw_time_text(first), raw_time_text(last))
    assert (report["start_from_data_raw"], report["end_from_data_raw"]) == (raw_time_text(first),
                                                                           raw_time_text(last))
    if first is None:
        assert report["duration_s_from_data"] is None
        return
    duration = (last - first) / 1_000_000
    assert report["duration_s_from_data"] == duration
    rate = (count - 1) / duration if count >= 2 and duration > 0 else None
    assert report["samplingrate_hz_from_data"] == rate


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_file_handles_are_closed_on_every_path(cwa, write_file):
    paths = [
        cwa(contiguous_blocks(2)),                       # success
        cwa([packet(rate_code=0)]),                      # packet error
        cwa(contiguous_blocks(1), trailing=b"\0" * 7),   # partial sector
        write_file(b"AX" + bytes(1022)),                 # not a metadata block
        write_file(b"MD" + bytes(10)),                   # short metadata block
    ]
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(50):
        for path in paths:
            for report in REPORTS:
                try:
                    report(path)
                except RuntimeError:
                    pass
    assert len(os.listdir("/proc/self/fd")) == before
