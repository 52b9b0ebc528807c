"""`tiltgram info` on every kind of recording the test writer makes."""

from __future__ import annotations

import json
import os
import subprocess

import pytest

import builders
import tiltgram
from tiltgram_tools.cli import main
from tools_helpers import TILTGRAM, bad_recordings, run_cli, write_tree

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
    assert [o["path"] for o in objects] == paths
    for obj in objects[:len(KINDS)]:
        assert obj == {"path": obj["path"],
                       "metadata": tiltgram.read_metadata(obj["path"]),
                       "sampling": tiltgram.sampling_consistency_report(obj["path"])}
    errors = []
    for path, obj in zip(paths[len(KINDS):], objects[len(KINDS):]):
        with pytest.raises(RuntimeError) as err:
            tiltgram.sampling_consistency_report(path)
        errors.append(f"{path}: {err.value}")
        assert obj == {"path": path, "error": str(err.value)}  # failures are lines too
    assert run.stderr.splitlines() == errors


def test_duration_past_a_day(tmp_path):
    # Two blocks 26 h 3 min apart: the duration runs from the first sample of the first to
    # the last sample of the second.
    blocks = (builders.contiguous_blocks(1, start=builders.pack_time(2020, 1, 1, 0, 0, 0))
              + builders.contiguous_blocks(1, start=builders.pack_time(2020, 1, 2, 2, 3, 0)))
    path = builders.write(tmp_path / "long.cwa", builders.recording(builders.header(), blocks))
    seconds = tiltgram.sampling_consistency_report(path)["duration_s_from_data"]
    assert 26 * 3600 + 180 < seconds < 26 * 3600 + 185
    run = run_cli("info", path)
    assert run.returncode == 0
    assert f"  duration        1 d 02:03:{seconds - 93780:06.3f} ({seconds:g} s)\n" in run.stdout


def test_odd_names_and_files_are_each_a_failure_line(tmp_path):
    """A name that is not UTF-8 is read all the same; a FIFO in a folder is refused (it
    would wait for a writer for ever)."""
    good = KINDS["packed.cwa"]
    folder = tmp_path / "study"
    write_tree(folder, {"a.cwa": good})
    odd = os.path.join(os.fsencode(folder), b"caf\xe9.cwa")
    with open(odd, "wb") as fh:
        fh.write(good)
    os.mkfifo(folder / "stuck.cwa")
    run = run_cli("info", "--json", str(folder), timeout=60)
    assert run.returncode == 1
    objects = [json.loads(line) for line in run.stdout.splitlines()]
    shown = str(folder / "caf\\xe9.cwa")
    assert [o["path"] for o in objects] == [str(folder / "a.cwa"), shown,
                                           str(folder / "stuck.cwa")]
    assert objects[1]["metadata"] == objects[0]["metadata"]
    assert objects[2]["error"].startswith("a FIFO, not a regular file")
    assert run.stderr == f"{folder / 'stuck.cwa'}: {objects[2]['error']}\n"

    # Named, a FIFO is refused too, before anything opens it: the second report would wait
    # for a writer for ever. A regular file named after it is still described.
    run = run_cli("info", str(folder / "stuck.cwa"), str(folder / "a.cwa"), timeout=60)
    assert run.returncode == 1
    assert run.stderr == (f"{folder / 'stuck.cwa'}: tiltgram info needs a regular file: it "
                          "reads the recording twice, and a pipe can be read only once\n")
    assert run.stdout.startswith(str(folder / "a.cwa"))


def test_closed_output_is_not_a_traceback(tmp_path):
    paths = write_tree(tmp_path, {f"r{i}.cwa": KINDS["packed.cwa"] for i in range(40)})
    run = subprocess.run(f"'{TILTGRAM}' info {' '.join(paths)} | head -1", shell=True,
                         capture_output=True, text=True, timeout=120)
    assert run.stdout == paths[0] + "\n"
    assert run.stderr == ""
