"""Activity summaries of a recording: calibration against gravity, non-wear, epochs and days.

The work is done in the reader's core, in two passes over the data blocks with memory that does
not grow with the recording (`tiltgram_tools._activity`); this module takes the options and
makes the DataFrames. The method is described in README.md ("Activity summaries") and, to the
last detail, at the top of src/activity/summary.hpp and src/activity/calibration.hpp.
"""

from __future__ import annotations

import datetime as dt
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # imported where used: `tiltgram --help` loads neither
    import numpy as np
    import pandas as pd

__all__ = ["Summary", "summarize", "EPOCH_COLUMNS", "DAY_COLUMNS", "CALIBRATION_STATUSES"]

EPOCH_COLUMNS: tuple[str, ...] = (
    "samples", "enmo_mg", "mad_mg", "x", "y", "z", "temperature", "light", "nonwear")
DAY_COLUMNS: tuple[str, ...] = (
    "wear_h", "nonwear_h", "nodata_h", "enmo_mg", "sedentary_min", "light_min", "moderate_min",
    "vigorous_min", "valid")
CALIBRATION_STATUSES: tuple[str, ...] = (
    "ok", "too few still windows", "sphere not covered", "error too high", "not asked")

_I64_MIN, _I64_MAX = -(2**63), 2**63 - 1
_OFFSET_OVERFLOW = "fixed_utc_offset_timezone offset does not fit in 64-bit microseconds"


@dataclass(frozen=True)
class Summary:
    """The summary of one recording.

    `recording`: `calibration` (dict: `status`, `offset`, `scale`, `temperature_coef` (x, y, z
    each), `temperature_ref`, `windows`, `error_before_mg`, `error_after_mg`), `wear_h`,
    `nonwear_h`, `nodata_h`, `valid_days`, `enmo_mg`, `enmo_mg_imputed`, `first_sample`,
    `last_sample`. `epochs` (index `timestamp`, the epoch's start) and `days` (index `date`,
    midnight) are DataFrames of float64 and bool columns; `nonwear` has one row per non-wear
    period: `start`, `end` (excluded) and `minutes`.
    """

    recording: dict[str, Any]
    epochs: pd.DataFrame
    days: pd.DataFrame
    nonwear: pd.DataFrame


def _offset_us(tz: dt.tzinfo | None) -> int:
    """The fixed UTC offset in microseconds, as the reader takes `fixed_utc_offset_timezone`."""
    if tz is None:
        return 0
    if not isinstance(tz, dt.tzinfo):
        raise TypeError(f"argument 'fixed_utc_offset_timezone': '{type(tz).__name__}' object "
                        "cannot be converted to 'PyTzInfo'")
    delta = tz.utcoffset(None)
    if not isinstance(delta, dt.timedelta):
        raise TypeError(f"fixed_utc_offset_timezone.utcoffset(None) returned {type(delta).__name__}, "
                        "not a timedelta")
    us = (delta.days * 86400 + delta.seconds) * 1_000_000 + delta.microseconds
    if not _I64_MIN <= us <= _I64_MAX:
        raise OverflowError(_OFFSET_OVERFLOW)
    return us


def _times(start_us: int, step_us: int, n: int, name: str, utc: bool) -> pd.DatetimeIndex:
    import numpy as np
    import pandas as pd

    values = (np.int64(start_us) + np.int64(step_us) * np.arange(n, dtype=np.int64)).astype("datetime64[us]")
    index = pd.DatetimeIndex(values, name=name)
    return index.tz_localize("UTC") if utc else index


def _column(raw: bytes, dtype: str) -> np.ndarray:
    import numpy as np

    return np.frombuffer(raw, dtype=dtype).copy()


def _timestamp(us: int, utc: bool) -> pd.Timestamp:
    import numpy as np
    import pandas as pd

    t = pd.Timestamp(np.datetime64(us, "us"))
    return t.tz_localize("UTC") if utc else t


def summarize(
    path: str | os.PathLike[str],
    *,
    epoch_s: int = 30,
    fixed_utc_offset_timezone: dt.tzinfo | None = None,
    calibrate: bool = True,
    window_fraction: float = 0.8,
    still_sd_mg: float = 13.0,
    still_mean_g: float = 2.0,
    calibration_min_windows: int = 50,
    calibration_sphere_g: float = 0.3,
    calibration_max_error_mg: float = 10.0,
    calibration_max_rounds: int = 1000,
    calibration_tolerance_g: float = 1e-9,
    temperature_sd_c: float = 0.1,
    nonwear_min: float = 60.0,
    nonwear_epoch_fraction: float = 0.5,
    cutpoints_mg: tuple[float, float, float] = (45.8, 93.2, 418.3),
    valid_day_wear_h: float = 16.0,
) -> Summary:
    """Calibrates a recording against gravity, finds non-wear and summarizes it per epoch of
    `epoch_s` seconds (a whole number dividing 86,400, at most 3,600) and per calendar day.

    Times are the device clock's, or UTC when `fixed_utc_offset_timezone` is given (its fixed
    offset is subtracted, as `tiltgram.read_cwa_file` does). With `calibrate=False` the samples
    are used as read. The other options are the method's thresholds (README.md, "Activity
    summaries"). Errors: the reader's (RuntimeError with its text) for the recording,
    "No valid sample data found" without samples, ValueError for an option, OverflowError
    for an offset that shifts a time out of range, RuntimeError for a pipe (a summary reads
    the recording twice).
    """
    import numpy as np

    from tiltgram_tools import _activity

    if isinstance(epoch_s, bool) or not isinstance(epoch_s, (int, np.integer)):
        raise TypeError(f"epoch_s must be a whole number of seconds, not {type(epoch_s).__name__}")
    cuts = tuple(float(c) for c in cutpoints_mg)
    if len(cuts) != 3:
        raise ValueError("cutpoints_mg must be three finite numbers in increasing order")
    offset_us = _offset_us(fixed_utc_offset_timezone)
    utc = fixed_utc_offset_timezone is not None
    options: dict[str, Any] = {
        "epoch_s": int(epoch_s), "offset_us": offset_us, "calibrate": bool(calibrate),
        "window_fraction": float(window_fraction), "still_sd_mg": float(still_sd_mg),
        "still_mean_g": float(still_mean_g),
        "calibration_min_windows": int(calibration_min_windows),
        "calibration_sphere_g": float(calibration_sphere_g),
        "calibration_max_error_mg": float(calibration_max_error_mg),
        "calibration_max_rounds": int(calibration_max_rounds),
        "calibration_tolerance_g": float(calibration_tolerance_g),
        "temperature_sd_c": float(temperature_sd_c), "nonwear_min": float(nonwear_min),
        "nonwear_epoch_fraction": float(nonwear_epoch_fraction),
        "cutpoint_light_mg": cuts[0], "cutpoint_moderate_mg": cuts[1],
        "cutpoint_vigorous_mg": cuts[2], "valid_day_wear_h": float(valid_day_wear_h),
    }
    raw = _activity.summarize(os.fspath(path), options)
    # pandas only now: a call that fails (as the batch's check of its options does) has no
    # need of it.
    import pandas as pd

    e = raw["epochs"]
    n_epochs = len(e["samples"]) // 8
    epochs = pd.DataFrame(
        {name: (_column(e[name], "u1").astype(bool) if name == "nonwear" else _column(e[name], "<f8"))
         for name in EPOCH_COLUMNS},
        index=_times(raw["epoch_start_us"], raw["epoch_us"], n_epochs, "timestamp", utc))
    d = raw["days"]
    n_days = len(d["wear_h"]) // 8
    days = pd.DataFrame(
        {name: (_column(d[name], "u1").astype(bool) if name == "valid" else _column(d[name], "<f8"))
         for name in DAY_COLUMNS},
        index=_times(raw["day_start_us"], 86_400_000_000, n_days, "date", utc))
    starts = _column(raw["nonwear_start_us"], "<i8")
    ends = _column(raw["nonwear_end_us"], "<i8")
    tz = "UTC" if utc else None
    nonwear = pd.DataFrame({
        "start": pd.DatetimeIndex(starts.astype("datetime64[us]")).tz_localize(tz),
        "end": pd.DatetimeIndex(ends.astype("datetime64[us]")).tz_localize(tz),
        "minutes": (ends - starts) / 60e6,
    })

    cal = dict(raw["calibration"])
    for key in ("offset", "scale", "temperature_coef"):
        cal[key] = tuple(cal[key])
    recording: dict[str, Any] = {
        "calibration": cal,
        "wear_h": raw["wear_h"], "nonwear_h": raw["nonwear_h"], "nodata_h": raw["nodata_h"],
        "valid_days": raw["valid_days"], "enmo_mg": raw["enmo_mg"],
        "enmo_mg_imputed": raw["enmo_mg_imputed"],
        "first_sample": _timestamp(raw["first_sample_us"], utc),
        "last_sample": _timestamp(raw["last_sample_us"], utc),
    }
    return Summary(recording=recording, epochs=epochs, days=days, nonwear=nonwear)
