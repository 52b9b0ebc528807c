"""`tiltgram info` on every kind of recording the test writer makes."""

from __future__ import annotations

import json

import pytest

import builders
import tiltgram
from tiltgram_tools.cli import main
from tools_helpers import bad_recordings, run_cli, write_tree

KINDS = {
    "packed.cwa": builders.recording(builders.header(annotation="_c=study&_s=7"),
                                     builders.contiguous_blocks(3)),
    "unpacked.cwa": builders.recording(builders.header(rate_code=0x07),
                                       builders.contiguous_blocks(3, format=0x32, rate_code=0x07)),
    "six.cwa": builders.recording(
        builders.header(hardware_type=builders.HW_AX6, sensor_config=0x02, rate_code=0x8B),
        builders.contiguous_blocks(3, format=0x62, rate_code=0x8B)),
    "nine.cwa": builders.recording(
        builders.header(hardware_type=builders.HW_AX6, sensor_config=0x13, upper_device_id=1,
                        device_id_low=2),
        builders.contiguous_blocks(2, format=0x92) + [bytes(512)]),
    "one-sample.cwa": builders.recording(builders.header(logging_start=0, logging_end=0),
                                         [builders.packet(samples=[(1, 2, 3)])]),
    "header-only.cwa": builders.header(),
}


def test_text_blocks(tmp_path, capsys):
    paths = write_tree(tmp_path, KINDS)
    assert main(["info", str(tmp_path)]) == 0
    blocks = capsys.readouterr().out.split("\n\n")
    by_path = {block.splitlines()[0]: block for block in blocks}
    assert sorted(by_path) == sorted(paths)
    assert by_path[str(tmp_path / "packed.cwa")] == "\n".join([
        str(tmp_path / "packed.cwa"),
        "  device id       1234",
        "  session         0",
        "  hardware        AX3, firmware 48",
        "  first sample    2020-01-01T00:00:00",
        "  last sample     2020-01-01T00:00:03.590",
        "  duration        00:00:03.590 (3.59 s)",
        "  logging         2023-01-05T10:00:00 to 2023-01-06T10:00:00 (header)",
        "  sampling rate   100 Hz (header), 100 Hz (data)",
        "  ranges          accelerometer ±8 g",
        "  annotation      _c=study&_s=7",
    ])
    six = by_path[str(tmp_path / "six.cwa")]
    assert "  ranges          accelerometer ±4 g, gyroscope ±2000 °/s\n" in six
    assert "  sampling rate   200 Hz (header), 200 Hz (data)" in six
    assert "  device id       65538\n" in by_path[str(tmp_path / "nine.cwa")]
    assert "magnetometer" in by_path[str(tmp_path / "nine.cwa")]
    assert "12.5 Hz (header)" in by_path[str(tmp_path / "unpacked.cwa")]
    one = by_path[str(tmp_path / "one-sample.cwa")]
    assert "  duration        00:00:00.000 (0 s)\n" in one
    assert "  logging         - to - (header)\n" in one
    assert "100 Hz (header), - (data)" in one
    empty = by_path[str(tmp_path / "header-only.cwa")]
    assert "  first sample    -\n  last sample     -\n  duration        -\n" in empty


def test_json_lines_and_failures(tmp_path):
    paths = write_tree(tmp_path, {**KINDS, **bad_recordings()})
    run = run_cli("info", "--json", *paths)
    assert run.returncode == 1
    objects = [json.loads(line) for line in run.stdout.splitlines()]
    assert [o["path"] for o in objects] == paths[:len(KINDS)]
    for obj in objects:
        assert obj == {"path": obj["path"],
                       "metadata": tiltgram.read_metadata(obj["path"]),
                       "sampling": tiltgram.sampling_consistency_report(obj["path"])}
    errors = []
    for path in paths[len(KINDS):]:
        with pytest.raises(RuntimeError) as err:
            tiltgram.sampling_consistency_report(path)
        errors.append(f"{path}: {err.value}")
    assert run.stderr.splitlines() == errors
