"""The day-by-day activity picture: the minute table against a plain NumPy computation, the
PNG opened and looked at (size, rows, gaps against stillness), and the `plot` subcommand."""

import datetime as dt
import gzip
import os
import struct
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import builders
import tiltgram
from builders import pack_datetime, pack_word, packet

matplotlib = pytest.importorskip("matplotlib")
PIL = pytest.importorskip("PIL.Image")

from tiltgram_tools import cli, plot  # noqa: E402
from tools_helpers import run_cli  # noqa: E402

RATE_CODE = 0x46  # 6.25 Hz: 100 samples are a block of exactly 16 s
BLOCK_S = 16
PER_BLOCK = 100
STILL = (0, 0, 256)  # 1 g at scale exponent 0
MOVING = ((0, 0, 384), (0, 0, 256))  # alternating 1.5 g and 1 g: 250 mg on average


def segment(start, minutes, samples, temperature=300):
    """Blocks from `start` (a naive datetime on the device clock) for `minutes` minutes, each
    block holding `samples` repeated (packed 3-axis tuples)."""
    words = [pack_word(*samples[i % len(samples)]) for i in range(PER_BLOCK)]
    area = struct.pack(f"<{PER_BLOCK}I", *words)
    return [
        packet(timestamp=pack_datetime(start + dt.timedelta(seconds=k * BLOCK_S)),
               rate_code=RATE_CODE, sample_count=PER_BLOCK, samples=area,
               temperature=temperature, raw_light=100 + k % 50, sequence_id=k)
        for k in range(minutes * 60 // BLOCK_S)
    ]


def day1(hour, minute=0):
    return dt.datetime(2023, 3, 1, hour, minute)


# Still from 22:00 on 1 March, moving 02:00-06:00 on the 2nd, nothing on the 3rd, an hour on
# the 4th from 08:00 and then the clock set back by half an hour for another hour.
GAPPY = (
    segment(day1(22), 240, [STILL], temperature=320)
    + segment(day1(22) + dt.timedelta(hours=4), 240, MOVING)
    + segment(dt.datetime(2023, 3, 4, 8), 60, MOVING)
    + segment(dt.datetime(2023, 3, 4, 8, 30), 60, [STILL])
)
DAYS = ["Wed 01 Mar 2023", "Thu 02 Mar 2023", "Fri 03 Mar 2023", "Sat 04 Mar 2023"]


@pytest.fixture(scope="module")
def gappy(tmp_path_factory):
    path = tmp_path_factory.mktemp("plot") / "gappy.cwa"
    return builders.write(path, builders.recording(builders.header(), GAPPY))


def reference_table(frame):
    """The minute table by a plain loop over minutes, in double precision."""
    minutes = frame.index.as_unit("us").asi8 // 60_000_000
    acc = frame[["acc_x", "acc_y", "acc_z"]].to_numpy(np.float64)
    enmo = np.maximum(np.sqrt((acc ** 2).sum(axis=1)) - 1.0, 0.0) * 1000.0
    rows = {}
    for m in np.unique(minutes):
        sel = minutes == m
        rows[m] = {"enmo_mg": enmo[sel].mean(), "samples": int(sel.sum())} | {
            c: frame[c].to_numpy(np.float64)[sel].mean()
            for c in ("temperature", "light") if c in frame.columns}
    return rows


def assert_table(table, frame):
    expected = reference_table(frame)
    minutes = table.index.tz_localize(None).as_unit("us").asi8 // 60_000_000
    assert list(minutes) == sorted(expected)
    assert table.index.name == "minute"
    assert table.index.tz == frame.index.tz
    want_columns = ["enmo_mg", "samples"] + [c for c in ("temperature", "light") if c in frame]
    assert list(table.columns) == want_columns
    for m, row in zip(minutes, table.itertuples(index=False)):
        exp = expected[m]
        assert row.samples == exp["samples"]
        for c in want_columns:
            assert getattr(row, c) == pytest.approx(exp[c], rel=1e-5, abs=1e-3), (m, c)


def test_minute_table_against_numpy(gappy, monkeypatch):
    frame = tiltgram.read_cwa_file(gappy, include_battery=False)
    table = plot.minute_activity(frame)
    assert_table(table, frame)
    # The rows of the set-back hour share minutes with the hour before it: 08:30-09:00 holds
    # the moving and the still samples, in one row each minute, in time order.
    overlap = table.loc["2023-03-04 08:30":"2023-03-04 08:59"]
    assert len(overlap) == 30 and (overlap["samples"] == 2 * 375).all()
    assert overlap["enmo_mg"].to_numpy() == pytest.approx(125.0, abs=0.5)
    assert table.index.is_monotonic_increasing and table.index.is_unique

    # Slices of a few rows, and rows in any order, give the same table.
    monkeypatch.setattr(plot, "_SLICE", 7)
    small = plot.minute_activity(frame)
    shuffled = plot.minute_activity(frame.sample(frac=1.0, random_state=3))
    for other in (small, shuffled):
        pd.testing.assert_frame_equal(other, table, rtol=1e-9)


@pytest.mark.parametrize("fmt", [0x32, 0x62, 0x92], ids=["3-axis", "6-axis", "9-axis"])
def test_minute_table_other_formats_and_utc(write_file, fmt):
    blocks = builders.contiguous_blocks(60, format=fmt, rate_code=0x4A, seed=fmt)
    path = write_file(builders.recording(builders.header(), blocks))
    tz = dt.timezone(dt.timedelta(hours=-3))
    frame = tiltgram.read_cwa_file(path, include_light=False, fixed_utc_offset_timezone=tz)
    table = plot.minute_activity(frame)
    assert str(table.index.tz) == "UTC"
    assert_table(table, frame)


def test_minute_table_refuses_other_frames():
    with pytest.raises(TypeError, match="DatetimeIndex"):
        plot.minute_activity(pd.DataFrame({"acc_x": [1.0]}))
    with pytest.raises(ValueError, match="acc_z"):
        plot.minute_activity(pd.DataFrame({"acc_x": [1.0], "acc_y": [0.0]},
                                          index=pd.DatetimeIndex(["2023-01-01"])))
    empty = pd.DataFrame({c: np.empty(0, np.float32) for c in ("acc_x", "acc_y", "acc_z")},
                         index=pd.DatetimeIndex([], dtype="datetime64[us]"))
    assert len(plot.minute_activity(empty)) == 0


def day_axes(fig):
    weekdays = ("Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun")
    return [ax for ax in fig.axes if ax.get_ylabel()[:3] in weekdays]


def test_png_one_row_per_day_and_gaps_unlike_stillness(gappy, tmp_path):
    fig = plot.plot_recording(gappy)
    out = tmp_path / "gappy.png"
    fig.savefig(out, dpi=100)
    image = np.asarray(PIL.open(out).convert("RGB")).astype(int)
    height, width, _ = image.shape
    assert (width, height) == (1200, round(fig.get_figheight() * 100))

    axes = day_axes(fig)
    assert [ax.get_ylabel() for ax in axes] == DAYS  # the missing day has a row of its own

    def pixel(ax, hour, fraction):
        x, y = ax.transAxes.transform((hour / 24, fraction))
        return image[height - int(round(y)), int(round(x))]

    def patch(ax, hour):
        return np.mean([pixel(ax, hour + d / 60, f) for d in (0, 5, 10, 15) for f in (0.3, 0.6)],
                       axis=0)

    white = np.array([255, 255, 255])
    still, gap_before, gap_day = patch(axes[0], 23.0), patch(axes[0], 12.0), patch(axes[2], 12.0)
    assert np.abs(still - white).max() < 40  # device still: an empty, white row
    for gap in (gap_before, gap_day):
        assert 120 < gap.mean() < 235 and np.ptp(gap) < 20  # no samples: grey hatching
    # Moving (250 mg, the top of the scale here) fills the row.
    moving = pixel(axes[1], 4.0, 0.1)
    assert moving.tolist() == [0x1F, 0x4E, 0x79]
    # Each day row is one framed plot: count the runs of dark pixels down the left spine.
    x, top = np.round(axes[0].transAxes.transform((0, 1))).astype(int)
    bottom = int(round(axes[-1].transAxes.transform((0, 0))[1]))
    column = image[height - top - 3:height - bottom + 3, x - 1:x + 2]
    dark = (column.min(axis=1).max(axis=1) < 80).astype(int)
    assert np.count_nonzero(np.diff(dark) == 1) == len(DAYS)


def test_rows_follow_the_utc_offset(gappy):
    # 22:00 on 1 March at UTC-03:00 is 01:00 on 2 March in UTC.
    fig = plot.plot_recording(gappy, utc_offset=dt.timedelta(hours=-3), channels=True)
    labels = [ax.get_ylabel() for ax in day_axes(fig)]
    assert labels == DAYS[1:]
    assert "(UTC)" in fig.get_suptitle() and "01:00:00" in fig.get_suptitle()
    strips = [ax.get_ylabel() for ax in fig.axes].count("°C")
    assert strips == len(labels)


def test_gzip_recording(gappy, tmp_path):
    packed = builders.write(tmp_path / "gappy.cwa.gz", gzip.compress(open(gappy, "rb").read()))
    probe = builders.write(tmp_path / "probe.cwa.gz", gzip.compress(builders.header()))
    try:
        tiltgram.read_metadata(probe)
    except RuntimeError:
        pytest.skip("this build does not read gzip-compressed recordings")
    raw, unpacked = plot.plot_recording(gappy), plot.plot_recording(packed)
    assert [ax.get_ylabel() for ax in day_axes(unpacked)] == DAYS
    assert unpacked.get_suptitle() == raw.get_suptitle().replace("gappy.cwa", "gappy.cwa.gz", 1)


@pytest.mark.parametrize("name, magic", [
    ("a.png", b"\x89PNG"), ("a.SVG", b"<?xml"), ("a.pdf", b"%PDF"),
])
def test_command_writes_the_format_of_the_suffix(gappy, tmp_path, name, magic):
    out = tmp_path / name
    assert cli.main(["plot", gappy, "-o", str(out), "--utc-offset", "+01:00"]) == 0
    assert out.read_bytes().startswith(magic)
    assert os.listdir(tmp_path) == [name]  # no temporary file left behind


def test_command_failures(gappy, tmp_path, capsys):
    out = tmp_path / "x.png"
    assert cli.main(["plot", gappy, "-o", str(tmp_path / "x.txt")]) == 2
    assert "cannot tell the format" in capsys.readouterr().err
    assert cli.main(["plot", gappy, "-o", str(tmp_path / "x.img"), "--format", "svg"]) == 0
    assert (tmp_path / "x.img").read_bytes().startswith(b"<?xml")

    missing = str(tmp_path / "missing.cwa")
    assert cli.main(["plot", missing, "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert missing in err and "IO error: " in err and not out.exists()

    before = open(gappy, "rb").read()
    assert cli.main(["plot", gappy, "-o", gappy, "--format", "png"]) == 2
    assert open(gappy, "rb").read() == before

    header_only = builders.write(tmp_path / "empty.cwa", builders.header())
    assert cli.main(["plot", header_only, "-o", str(out)]) == 1
    assert "holds no samples" in capsys.readouterr().err and not out.exists()

    with pytest.raises(SystemExit) as exc:
        cli.main(["plot", gappy, "-o", str(out), "--utc-offset", "+25:00"])
    assert exc.value.code == 2 and not out.exists()


def test_command_without_matplotlib(gappy, tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    assert cli.main(["plot", gappy, "-o", str(tmp_path / "x.png")]) == 2  # nothing done
    assert "pip install 'tiltgram[plot]'" in capsys.readouterr().err


def test_help_imports_no_heavy_dependency():
    code = ("import sys; from tiltgram_tools.cli import build_parser; build_parser(); "
            "print([m for m in ('pandas', 'matplotlib') if m in sys.modules])")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "[]"
    run = subprocess.run([sys.executable, "-m", "tiltgram_tools", "plot", "--help"],
                         capture_output=True, text=True, check=True)
    assert "--utc-offset" in run.stdout and "--channels" in run.stdout


def hatched_spans(ax):
    """(start, end) hours of each hatched region of a day row."""
    spans = []
    for coll in ax.collections:
        if coll.get_hatch():
            for path in coll.get_paths():
                xs = path.vertices[:, 0]
                spans.append((round(xs.min() * 60), round(xs.max() * 60)))
    return sorted(spans)


def test_gap_hatching_spans_exactly_the_missing_minutes(gappy):
    """Hatching starts at the first minute without samples and ends after the last."""
    fig = plot.plot_recording(gappy)
    axes = day_axes(fig)
    assert [hatched_spans(ax) for ax in axes] == [
        [(0, 22 * 60)],                  # from 22:00 on
        [(6 * 60, 24 * 60)],             # until 06:00
        [(0, 24 * 60)],                  # nothing
        [(0, 8 * 60), (9 * 60 + 30, 24 * 60)],  # 08:00-09:30 (the clock set back)
    ]


def test_title_gives_configured_rate_and_covered_time(gappy):
    title = plot.plot_recording(gappy).get_suptitle()
    # 22:00 to 06:00 and 08:00 to 09:30 have samples: 9 h 30 min of a span of 2 d 11:30.
    assert "configured 100 Hz" in title  # the header's rate (the blocks' is 6.25 Hz)
    assert "samples in 09:30 of 2 d 11:30" in title
    assert " at " not in title.splitlines()[1]  # no rate made up from the span


def test_automatic_scale_and_clip_marks(write_file):
    """Ordinary activity fills its rows; a few minutes far above are cut and marked."""
    start = dt.datetime(2023, 5, 1, 0, 0)
    shaken = [(0, 0, 500, 3)]  # 15.6 g: 14.6 g over 1 g
    blocks = (segment(start, 600, MOVING) + segment(start + dt.timedelta(minutes=600), 4, shaken)
              + segment(start + dt.timedelta(minutes=604), 600, MOVING))
    for k, block in enumerate(blocks):  # one sequence through the three segments
        blocks[k] = block[:10] + struct.pack("<I", k) + block[14:]
    path = write_file(builders.recording(builders.header(), blocks))
    fig = plot.plot_recording(path)
    (ax,) = day_axes(fig)
    top = ax.get_ylim()[1]
    assert 250 <= top <= 500  # 250 mg of walking fills half the row at least
    marks = [c for c in ax.collections if c.get_label() == "_clipped"]
    (mark,) = marks
    minutes = sorted(round(seg[0][0] * 60) for seg in mark.get_segments())
    assert minutes == [600, 601, 602, 603]
    assert all(seg[0][1] == top for seg in mark.get_segments())
    assert f"above {top:g} mg" in " ".join(t.get_text() for t in fig.legends[0].get_texts())
    # A given scale marks what it cuts too; none when nothing is above it.
    assert not [c for c in day_axes(plot.plot_recording(path, max_mg=20000))[0].collections
                if c.get_label() == "_clipped"]


def test_colour_bar_labels_apart_when_constant(write_file, tmp_path):
    blocks = segment(dt.datetime(2023, 5, 1, 10), 30, [STILL], temperature=300)
    for k, block in enumerate(blocks):  # the same light reading in every block
        blocks[k] = block[:18] + struct.pack("<H", 100) + block[20:]
    path = write_file(builders.recording(builders.header(), blocks))
    fig = plot.plot_recording(path, channels=True)
    fig.savefig(tmp_path / "x.png")
    renderer = fig.canvas.get_renderer()
    bars = [ax for ax in fig.axes if ax.get_xlabel().startswith(("light", "temperature"))]
    assert len(bars) == 2
    for bar in bars:
        labels = [t for t in bar.get_xticklabels() if t.get_text()]
        assert len(labels) == 3 and len({t.get_text() for t in labels}) == 3
        boxes = sorted((t.get_window_extent(renderer) for t in labels), key=lambda b: b.x0)
        assert all(a.x1 < b.x0 for a, b in zip(boxes, boxes[1:])), bar.get_xlabel()


def test_command_usage_errors_and_links(gappy, tmp_path):
    out = tmp_path / "x.png"
    for args, message in [(["--dpi", "0"], "--dpi: 0 is not a positive whole number"),
                          (["--max-mg", "-5"], "--max-mg must be positive")]:
        run = run_cli("plot", gappy, "-o", str(out), *args)
        assert run.returncode == 2 and message in run.stderr, run.stderr
    run = run_cli("plot", gappy, "-o", str(tmp_path / "missing" / "x.png"))
    assert run.returncode == 2
    assert run.stderr == (f"tiltgram plot: error: the output's folder {tmp_path / 'missing'} "
                          "does not exist\n")
    assert not out.exists()

    # Through a link: the picture replaces the file it names; the link stays a link.
    target = tmp_path / "pictures" / "day.png"
    target.parent.mkdir()
    target.write_bytes(b"old")
    link = tmp_path / "latest.png"
    link.symlink_to(target)
    run = run_cli("plot", gappy, "-o", str(link), "--utc-offset", "-05:00")  # no '=' needed
    assert run.returncode == 0, run.stderr
    assert link.is_symlink() and target.read_bytes().startswith(b"\x89PNG")
    assert sorted(os.listdir(target.parent)) == ["day.png"]


def test_paths_may_be_pathlike(gappy, tmp_path):
    import pathlib

    fig = plot.plot_recording(pathlib.Path(gappy))
    assert [ax.get_ylabel() for ax in day_axes(fig)] == DAYS
