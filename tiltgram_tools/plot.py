"""A quick look at a recording: one row per calendar day of minute activity.

Each row runs from 00:00 to 24:00 of one day, on the device's clock or, with a UTC offset,
in UTC. The curve is the minute mean of the calibrated acceleration magnitude's excess over
1 g, clipped at zero per sample, in milli-g (ENMO, from `tiltgram_tools.summarize` with
one-minute epochs): about 0 when the device lies still or is worn at rest, tens of mg for
light movement, hundreds for walking. Minutes the summary finds not worn (still for an hour
or more) are shaded in a colour of their own, and minutes without any sample are shaded grey
and hatched, so that a device taken off looks different from one that stopped recording or
a day that is missing. Optionally, temperature and light strips run under each day.

    tiltgram plot rec.cwa -o rec.png [--utc-offset +02:00] [--channels]

`minute_activity(frame)` is a per-minute table of the same (uncalibrated) kind for any frame
`tiltgram.read_cwa_file` returns; `plot_recording(path)` returns a matplotlib Figure drawn
without a display (Agg).
"""

from __future__ import annotations

import argparse
import datetime as dt
import os
import sys
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from tiltgram_tools.common import (UTC_OFFSET_HELP, ReaderError, RecordingProblem, StrPath,
                                   UsageError,
                                   add_verbosity, calling_reader, display_path,
                                   failure_message, positive_int_arg, readable_path,
                                   utc_offset_arg)
from tiltgram_tools.extras import require

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd
    from matplotlib.axes import Axes
    from matplotlib.colors import Normalize
    from matplotlib.figure import Figure
    from matplotlib.image import AxesImage

__all__ = ["minute_activity", "plot_recording"]

US_PER_MINUTE = 60_000_000
MINUTES_PER_DAY = 1440
FORMATS = ("png", "svg", "pdf")
# Block-readings columns whose minute means the table carries when the frame has them.
CHANNELS = ("temperature", "light")
# Rows are processed in slices of this many samples, so that the temporaries stay in cache
# and memory does not grow with the recording.
_SLICE = 1 << 18
# Days without samples between the first and the last day are drawn as empty rows while the
# recording spans at most this many days; beyond that (a clock far off) only days with
# samples are drawn. More rows than _MAX_ROWS cannot be drawn legibly and are refused.
_MAX_SPAN_DAYS = 62
_MAX_ROWS = 400

_ACTIVITY_COLOR = "#1f4e79"
_GAP_COLOR = "#d9d9d9"
_GAP_HATCH_COLOR = "#a6a6a6"
_NONWEAR_COLOR = "#f4c7a1"
_CLIP_COLOR = "#c00000"
# The automatic top of the rows: the 99th percentile of the minutes with samples, rounded up,
# within these bounds; minutes above the top are drawn to it and marked.
_AUTO_MG = (100.0, 1000.0)
_STRIP_UNITS = {"temperature": "°C", "light": "lux"}


def minute_activity(frame: pd.DataFrame) -> pd.DataFrame:
    """Per-minute summary of a frame read by `tiltgram.read_cwa_file`.

    One row per minute that holds at least one sample, in time order (rows of a clock set
    back are merged into the minutes they fall in), indexed by the minute's start
    ("minute", with the frame's time zone). Columns:

    - "enmo_mg": mean over the minute's samples of max(0, sqrt(x^2 + y^2 + z^2) - 1) with
      x, y, z the accelerometer axes in g, times 1000;
    - "samples": the number of samples in the minute;
    - "temperature", "light": the minute means of these columns, when the frame has them.

    Minutes without samples are absent; `.asfreq("min")` gives a regular grid with NaN there.
    """
    import numpy as np
    import pandas as pd

    index = frame.index
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError("frame must have a DatetimeIndex, as read_cwa_file returns")
    missing = [c for c in ("acc_x", "acc_y", "acc_z") if c not in frame.columns]
    if missing:
        raise ValueError(f"frame has no column {', '.join(missing)}")
    # as_unit copies even when the unit is already microseconds, as read_cwa_file's is.
    times_us = index.asi8 if index.unit == "us" else index.as_unit("us").asi8
    axes = [frame[c].to_numpy() for c in ("acc_x", "acc_y", "acc_z")]
    channels = [c for c in CHANNELS if c in frame.columns]
    values = [frame[c].to_numpy() for c in channels]

    minutes, counts, sums = _minute_sums(times_us, axes, values)
    with np.errstate(invalid="ignore", divide="ignore"):
        means = sums / counts
    starts = pd.DatetimeIndex((minutes * US_PER_MINUTE).astype("datetime64[us]"), name="minute")
    if index.tz is not None:
        starts = starts.tz_localize("UTC").tz_convert(index.tz)
    return pd.DataFrame(
        {"enmo_mg": means[0] * 1000.0, "samples": counts}
        | {name: means[k + 1] for k, name in enumerate(channels)},
        index=starts,
    )


def _minute_sums(
    times_us: npt.NDArray[np.int64],
    axes: list[npt.NDArray[np.floating]],
    values: list[npt.NDArray[np.floating]],
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """Minutes with samples (sorted), their sample counts, and per minute the sums of the
    excess magnitude (row 0) and of each of `values` (rows 1...).

    Works slice by slice: within a slice, consecutive samples of one minute form a run
    summed by `reduceat`; the runs (a few per minute, whatever the order of the rows) are
    then merged by minute."""
    import numpy as np

    n = len(times_us)
    run_minutes: list[npt.NDArray[np.int64]] = []
    run_counts: list[npt.NDArray[np.int64]] = []
    run_sums: list[npt.NDArray[np.float64]] = []
    zero = np.float32(0.0)
    mag = np.empty(min(n, _SLICE), dtype=np.float32)
    tmp = np.empty_like(mag)
    for lo in range(0, n, _SLICE):
        hi = min(n, lo + _SLICE)
        starts = _minute_runs(times_us[lo:hi])
        run_minutes.append(times_us[lo:hi][starts] // US_PER_MINUTE)
        run_counts.append(np.diff(np.append(starts, hi - lo)))
        x, y, z = (a[lo:hi] for a in axes)
        g = mag[: hi - lo]
        t = tmp[: hi - lo]
        np.multiply(x, x, out=g)
        np.multiply(y, y, out=t)
        g += t
        np.multiply(z, z, out=t)
        g += t
        np.sqrt(g, out=g)
        g -= 1.0
        np.maximum(g, zero, out=g)
        rows = [np.add.reduceat(g, starts, dtype=np.float64)]
        rows += [np.add.reduceat(v[lo:hi], starts, dtype=np.float64) for v in values]
        run_sums.append(np.stack(rows))
    if n == 0:
        empty = np.empty(0, dtype=np.int64)
        return empty, empty, np.empty((1 + len(values), 0), dtype=np.float64)
    minutes_all = np.concatenate(run_minutes)
    counts_all = np.concatenate(run_counts)
    sums_all = np.concatenate(run_sums, axis=1)
    minutes, where = np.unique(minutes_all, return_inverse=True)
    counts = np.bincount(where, weights=counts_all, minlength=len(minutes)).astype(np.int64)
    sums = np.stack([np.bincount(where, weights=row, minlength=len(minutes)) for row in sums_all])
    return minutes, counts, sums


def _minute_runs(times_us: npt.NDArray[np.int64]) -> npt.NDArray[np.intp]:
    """Where each run of samples of one minute starts in `times_us` (not empty)."""
    import numpy as np

    if times_us[-1] >= times_us[0] and bool((times_us[1:] >= times_us[:-1]).all()):
        # In time order, as recordings mostly are: find the minute boundaries.
        first, last = times_us[0] // US_PER_MINUTE, times_us[-1] // US_PER_MINUTE
        edges = np.arange(first + 1, last + 1, dtype=np.int64) * US_PER_MINUTE
        # A slice across a gap has minutes without samples: their runs would be empty.
        return np.unique(np.concatenate(([0], np.searchsorted(times_us, edges))))
    minutes = times_us // US_PER_MINUTE
    return np.concatenate(([0], np.flatnonzero(minutes[1:] != minutes[:-1]) + 1))


class NotDrawable(RecordingProblem, ValueError):
    """The recording reads but has nothing that can be drawn (no samples, too many days)."""


@dataclass
class _Recording:
    """What the picture shows of one recording."""

    table: pd.DataFrame
    title: str
    clock: str  # "device clock" or "UTC"


def _load(path: str, utc_offset: dt.timedelta | None, channels: bool) -> _Recording:
    import numpy as np
    import pandas as pd

    import tiltgram
    from tiltgram_tools.summary import summarize

    tz = None if utc_offset is None else dt.timezone(utc_offset)
    with readable_path(path) as readable, calling_reader():
        meta = tiltgram.read_metadata(readable)
        if meta["start_from_data_raw"] is None:
            raise NotDrawable("the recording holds no samples")
        summary = summarize(readable, epoch_s=60, fixed_utc_offset_timezone=tz)
    epochs = summary.epochs[summary.epochs["samples"] > 0]
    columns = {"enmo_mg": epochs["enmo_mg"], "samples": epochs["samples"].astype(np.int64),
               "nonwear": epochs["nonwear"].astype(np.float64)}
    if channels:
        columns |= {c: epochs[c] for c in CHANNELS}
    table = pd.DataFrame(columns, index=epochs.index.rename("minute"))
    first, last = summary.recording["first_sample"], summary.recording["last_sample"]
    count = int(epochs["samples"].sum())
    clock = "device clock" if tz is None else "UTC"
    # Gaps are not time sampled: the title gives the configured rate, and how much of the
    # span between the first and the last sample has samples (minutes with any).
    title = (
        f"{display_path(os.path.basename(path))}  ·  device {meta['device_id']} "
        f"({meta['hardware_type']}), session {meta['session_id']}  ·  calibration: "
        f"{summary.recording['calibration']['status']}\n"
        f"{_when(first)}  to  {_when(last)} ({clock})\n{count:,} samples, configured "
        f"{meta['sample_rate_hz']:g} Hz  ·  samples in {_span(len(table) * 60.0)} of "
        f"{_span((last - first).total_seconds())}"
    )
    return _Recording(table, title, clock)


def _span(seconds: float) -> str:
    """`2 d 04:05` or `04:05` (hours and minutes, rounded up to a minute)."""
    minutes = int(-(-seconds // 60))
    days, rest = divmod(minutes, MINUTES_PER_DAY)
    clock = f"{rest // 60:02d}:{rest % 60:02d}"
    return f"{days} d {clock}" if days else clock


def _when(t: pd.Timestamp) -> str:
    text = t.strftime("%a %Y-%m-%d %H:%M:%S")
    return text + (f".{t.microsecond // 1000:03d}" if t.microsecond else "")


def _day_grid(
    table: pd.DataFrame, column: str
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """(days, grid): the days drawn (days since 1970-01-01 of the table's clock) and a
    (days, 1440) grid of the column's minute values, NaN where a minute has no sample."""
    import numpy as np
    import pandas as pd

    idx = table.index
    assert isinstance(idx, pd.DatetimeIndex)
    minutes = idx.tz_localize(None).as_unit("us").asi8 // US_PER_MINUTE
    day_of = minutes // MINUTES_PER_DAY
    with_data = np.unique(day_of)
    if len(with_data) and with_data[-1] - with_data[0] < _MAX_SPAN_DAYS:
        days = np.arange(with_data[0], with_data[-1] + 1)
    else:
        days = with_data
    if len(days) > _MAX_ROWS:
        raise NotDrawable(
            f"the recording's samples fall on {len(days)} different days; "
            f"at most {_MAX_ROWS} can be drawn"
        )
    grid = np.full((len(days), MINUTES_PER_DAY), np.nan)
    grid[np.searchsorted(days, day_of), minutes % MINUTES_PER_DAY] = table[column].to_numpy()
    return days.astype(np.int64), grid


def plot_recording(
    path: StrPath,
    *,
    utc_offset: dt.timedelta | None = None,
    channels: bool = False,
    max_mg: float | None = None,
) -> Figure:
    """Draws the day-by-day activity picture of the recording at `path`.

    `utc_offset`: the device clock's offset from UTC (as `fixed_utc_offset_timezone` of
    `tiltgram.read_cwa_file`); rows are then UTC days. `channels`: add temperature and light
    strips under each day. `max_mg`: the top of every row's scale (default: the 99th
    percentile of the minutes, rounded up, from 100 to 1000 mg); minutes above it are marked.
    Needs matplotlib (`pip install 'tiltgram[plot]'`); no display is used. Raises the
    reader's exceptions, and NotDrawable (a ValueError) for a recording without samples or
    with samples on too many days.
    """
    require("matplotlib", "plot")
    rec = _load(os.fspath(path), utc_offset, channels)
    return _draw(rec, channels=channels, max_mg=max_mg)


def _nice_ceiling(value: float) -> float:
    """The smallest of 1, 2, 2.5, 5 x 10^k at or above `value`."""
    import math

    exp = 10.0 ** math.floor(math.log10(value))
    return next(m * exp for m in (1.0, 2.0, 2.5, 5.0, 10.0) if m * exp >= value)


def _draw(rec: _Recording, *, channels: bool, max_mg: float | None) -> Figure:
    import numpy as np
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.colors import LogNorm, Normalize
    from matplotlib.figure import Figure

    days, activity = _day_grid(rec.table, "enmo_mg")
    nonwear = _day_grid(rec.table, "nonwear")[1] == 1.0
    if max_mg is None:
        present = activity[~np.isnan(activity)]
        top = float(np.quantile(present, 0.99)) if present.size else 0.0
        max_mg = _nice_ceiling(min(max(top, _AUTO_MG[0]), _AUTO_MG[1]))
    strips: list[tuple[str, npt.NDArray[np.float64], Normalize, str]] = []
    if channels:
        temp = _day_grid(rec.table, "temperature")[1]
        light = _day_grid(rec.table, "light")[1]
        strips.append(("temperature", temp, _finite_norm(temp, Normalize), "coolwarm"))
        strips.append(("light", light, _finite_norm(np.fmax(light, 1.0), LogNorm), "cividis"))

    row_in = 0.62 + 0.2 * len(strips)
    top_in, bottom_in = 1.12, 0.55 + (0.5 if strips else 0.0)
    height = top_in + bottom_in + row_in * len(days)
    fig = Figure(figsize=(12.0, height), dpi=100)
    FigureCanvasAgg(fig)
    fig.subplots_adjust(
        left=0.11, right=0.93, top=1 - top_in / height, bottom=bottom_in / height
    )
    fig.suptitle(rec.title, x=0.11, y=1 - 0.12 / height, ha="left", va="top", fontsize=10.5)
    outer = fig.add_gridspec(len(days), 1, hspace=0.3 if not strips else 0.42)
    hours = np.arange(MINUTES_PER_DAY + 1) / 60.0
    images: dict[str, AxesImage] = {}
    for row, day in enumerate(days):
        ratios = [1.0] + [0.16] * len(strips)
        inner = outer[row].subgridspec(1 + len(strips), 1, height_ratios=ratios, hspace=0.06)
        bottom_ax = ax = fig.add_subplot(inner[0])
        _draw_day(ax, hours, activity[row], nonwear[row], max_mg)
        date = dt.date(1970, 1, 1) + dt.timedelta(days=int(day))
        ax.set_ylabel(date.strftime("%a %d %b %Y"), rotation=0, ha="right", va="center",
                      fontsize=9, labelpad=8)
        for k, (name, grid, norm, cmap) in enumerate(strips):
            bottom_ax = sax = fig.add_subplot(inner[1 + k])
            images[name] = sax.imshow(
                np.ma.masked_invalid(grid[row][np.newaxis, :]), aspect="auto", cmap=cmap,
                norm=norm, extent=(0.0, 24.0, 0.0, 1.0), interpolation="nearest",
            )
            sax.set_facecolor(_GAP_COLOR)
            sax.set_xlim(0, 24)
            sax.set_xticks([])
            sax.set_yticks([])
            sax.set_ylabel(_STRIP_UNITS[name], rotation=0, ha="right", va="center",
                           fontsize=7, labelpad=4)
            for spine in sax.spines.values():
                spine.set_visible(False)
    bottom_ax.set_xticks(np.arange(0, 25, 3), [f"{h:02d}:00" for h in range(0, 25, 3)],
                         fontsize=8)
    bottom_ax.tick_params(axis="x", length=3)
    bottom_ax.set_xlabel(f"time of day ({rec.clock})", fontsize=9)
    _legend(fig, max_mg, 0.72 / height)
    for k, (name, image) in enumerate(images.items()):
        cax = fig.add_axes((0.57 + 0.2 * k, 0.2 / height, 0.16, 0.1 / height))
        bar = fig.colorbar(image, cax=cax, orientation="horizontal")
        bar.minorticks_off()
        ticks = _bar_ticks(image.norm)
        bar.set_ticks(ticks, labels=[f"{t:.3g}" for t in ticks])
        bar.ax.tick_params(labelsize=7, length=2, pad=1)
        bar.ax.xaxis.set_label_position("top")
        bar.set_label(f"{name} ({_STRIP_UNITS[name]})", fontsize=7, labelpad=2)
    return fig


def _draw_day(ax: Axes, hours: npt.NDArray[np.float64], values: npt.NDArray[np.float64],
              nonwear: npt.NDArray[np.bool_], max_mg: float) -> None:
    """One day's activity as steps across each minute, with minutes not worn shaded and
    minutes without samples hatched. Grid lines are drawn as collections rather than ticks:
    a tick costs a dozen artists."""
    import numpy as np

    gap = np.isnan(values)
    shown = np.minimum(np.nan_to_num(values, nan=0.0), max_mg)
    # The last minute's value closes the row at 24:00.
    ax.fill_between(hours, 0, np.append(shown, shown[-1]), step="post",
                    facecolor=_ACTIVITY_COLOR, edgecolor=_ACTIVITY_COLOR, linewidth=0.4,
                    zorder=2)
    if nonwear.any():
        ax.fill_between(hours, 0, max_mg, where=np.append(nonwear, nonwear[-1]), step="post",
                        facecolor=_NONWEAR_COLOR, linewidth=0.0, zorder=1)
    if gap.any():
        # One rectangle per run of minutes without samples, from the start of its first
        # minute to the end of its last (fill_between's `where` would end a run a step early).
        from matplotlib.collections import PolyCollection

        edges = np.diff(np.concatenate(([0], gap.astype(np.int8), [0])))
        starts, ends = hours[np.flatnonzero(edges == 1)], hours[np.flatnonzero(edges == -1)]
        ax.add_collection(PolyCollection(
            [[(a, 0.0), (b, 0.0), (b, max_mg), (a, max_mg)] for a, b in zip(starts, ends)],
            facecolor=_GAP_COLOR, edgecolor=_GAP_HATCH_COLOR, hatch="////", linewidth=0.0,
            zorder=1))
    clipped = np.flatnonzero(np.nan_to_num(values, nan=0.0) > max_mg)
    if clipped.size:
        # A bar cut at the top of the row carries a mark there, a minute wide (at least a
        # few points, so that a lone minute shows).
        ax.hlines(np.full(clipped.size, max_mg), hours[clipped], hours[clipped + 1],
                  colors=_CLIP_COLOR, linewidth=2.5, zorder=3, clip_on=False,
                  label="_clipped")
    ax.vlines(np.arange(1, 24), 0, max_mg, colors="#ececec", linewidth=0.5, zorder=0)
    ax.vlines(np.arange(3, 24, 3), 0, max_mg, colors="#bfbfbf", linewidth=0.5, zorder=0)
    ax.hlines(max_mg / 2, 0, 24, colors="#e6e6e6", linewidth=0.5, zorder=0)
    ax.set_xlim(0, 24)
    ax.set_ylim(0, max_mg)
    ax.set_xticks([])
    ax.set_yticks([])
    ax.text(1.004, 1.0, f"{max_mg:g} mg", transform=ax.transAxes, fontsize=7, va="center")
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)


def _legend(fig: Figure, max_mg: float, top: float) -> None:
    """The key, under the title at `top` (a fraction of the height from the top)."""
    from matplotlib.patches import Patch

    handles = [
        Patch(facecolor=_ACTIVITY_COLOR, label=f"activity: minute mean of calibrated |acc| − 1 g, "
              f"clipped at 0 (mg; rows 0–{max_mg:g})"),
        Patch(facecolor=_NONWEAR_COLOR, label="not worn (still for 60 min or more)"),
        Patch(facecolor=_GAP_COLOR, edgecolor=_GAP_HATCH_COLOR, hatch="////",
              label="no samples"),
        Patch(facecolor=_CLIP_COLOR, label=f"above {max_mg:g} mg (cut at the top)"),
    ]
    fig.legend(handles=handles, loc="upper left", bbox_to_anchor=(0.11, 1 - top), ncols=3,
               frameon=False, fontsize=8, handlelength=1.6, borderaxespad=0.0)


def _finite_norm(grid: npt.NDArray[np.float64], kind: type[Normalize]) -> Normalize:
    """The colour scale of a strip: its values' range, widened around a constant value
    (halved and doubled on a log scale, so that the colour bar's labels stay apart)."""
    import numpy as np
    from matplotlib.colors import LogNorm

    finite = grid[np.isfinite(grid)]
    if not finite.size:
        return kind()
    lo, hi = float(finite.min()), float(finite.max())
    if hi <= lo * (1 + 1e-6) + 1e-9:
        lo, hi = (lo / 2, lo * 2) if kind is LogNorm else (lo - 1.0, lo + 1.0)
    return kind(vmin=lo, vmax=hi)


def _bar_ticks(norm: Any) -> list[float]:
    """Three ticks of a colour bar: its ends and the middle (geometric on a log scale)."""
    import math

    from matplotlib.colors import LogNorm

    lo, hi = float(norm.vmin or 0.0), float(norm.vmax or 1.0)
    mid = math.sqrt(lo * hi) if isinstance(norm, LogNorm) else (lo + hi) / 2
    return [lo, mid, hi]


# ---------------------------------------------------------------------------
# The `plot` subcommand
# ---------------------------------------------------------------------------

def add_parser(subparsers: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    parser = subparsers.add_parser(
        "plot",
        help="draw a day-by-day activity picture of a recording",
        description="Draw one row per calendar day (00:00 to 24:00) of the minute mean of "
        "the calibrated acceleration magnitude's excess over 1 g (mg); minutes not worn are "
        "shaded, minutes without samples hatched. The output format follows the output's "
        "suffix (.png, .svg, .pdf).",
    )
    parser.add_argument("recording", metavar="REC", help="a CWA recording (.cwa, .cwa.gz)")
    parser.add_argument("-o", "--output", metavar="OUT", required=True,
                        help="the picture to write: OUT.png, OUT.svg or OUT.pdf")
    parser.add_argument("--format", choices=FORMATS,
                        help="the output format, when the suffix does not say it")
    parser.add_argument("--utc-offset", type=utc_offset_arg, metavar="+HH:MM",
                        help=UTC_OFFSET_HELP + "; rows are then UTC days")
    parser.add_argument("--channels", action="store_true",
                        help="add temperature and light strips under each day")
    parser.add_argument("--max-mg", type=float, metavar="MG",
                        help="top of each row's activity scale (default: the 99th percentile "
                             "of the minutes, 100 to 1000 mg); minutes above it are marked")
    parser.add_argument("--dpi", type=positive_int_arg, default=100,
                        help="resolution of a PNG (default 100)")
    add_verbosity(parser)
    parser.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    rec: str = args.recording
    # Through a link, the picture replaces the file the link names; the link stays.
    out: str = os.path.realpath(args.output) if os.path.islink(args.output) else args.output
    fmt: str | None = args.format
    if fmt is None:
        suffix = os.path.splitext(out)[1].lower().lstrip(".")
        if suffix not in FORMATS:
            raise UsageError(f"cannot tell the format of {display_path(out)!r}: use a .png, "
                             ".svg or .pdf name, or --format")
        fmt = suffix
    if args.max_mg is not None and not args.max_mg > 0:
        raise UsageError("--max-mg must be positive")
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise UsageError(f"the output's folder {display_path(folder)} does not exist")
    if os.path.isdir(out):
        raise UsageError(f"{display_path(out)} is a folder")
    if os.path.exists(out) and os.path.exists(rec) and os.path.samefile(out, rec):
        raise UsageError("the output must not be the recording")
    try:
        offset = None if args.utc_offset is None else args.utc_offset.utcoffset(None)
        fig = plot_recording(rec, utc_offset=offset, channels=args.channels, max_mg=args.max_mg)
    except (ReaderError, NotDrawable, OSError) as exc:
        print(f"tiltgram plot: {display_path(rec)}: {failure_message(exc)}", file=sys.stderr)
        return 1
    try:
        _save(fig, out, fmt, args.dpi)
    except OSError as exc:
        print(f"tiltgram plot: cannot write {display_path(out)}: {exc.strerror or exc}",
              file=sys.stderr)
        return 1
    return 0


def _save(fig: Figure, out: str, fmt: str, dpi: int) -> None:
    """Writes under a temporary name beside `out` and renames it when complete, so that a
    failure never leaves a partial picture under the final name."""
    folder, name = os.path.split(os.path.abspath(out))
    tmp = os.path.join(folder, f".tiltgram-plot.{os.getpid()}.part")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "wb") as fh:
            fig.savefig(fh, format=fmt, dpi=dpi)
        os.replace(tmp, out)
    except BaseException:
        os.unlink(tmp)
        raise
