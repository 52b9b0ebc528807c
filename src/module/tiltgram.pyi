"""Fast, exact reader of AX3/AX6 CWA motion-sensor recordings into pandas and CSV.

Type information for the extension module: installed beside it as `tiltgram.pyi` (read by
editors) and as the stub-only package `tiltgram-stubs` (read by mypy, which does not take a
single-module stub from site-packages).
"""

import datetime
from typing import Literal, SupportsFloat, SupportsIndex, TypedDict, type_check_only

import numpy as np
import pandas as pd

__all__ = [
    "read_metadata",
    "sampling_consistency_report",
    "seconds",
    "blocks",
    "read_cwa_file",
    "write_cwa_csv",
]

# A flag is a bool or a NumPy boolean scalar; an int is refused.
_Flag = bool | np.bool_
# Anything Python converts to a float: floats, ints, NumPy scalars, objects with __float__.
_Real = SupportsFloat | SupportsIndex

@type_check_only
class SecondsCut(TypedDict):
    """`seconds(start, end)`: samples from `start` up to `end` seconds after the first one."""

    type: Literal["seconds"]
    start: float | None
    end: float | None

@type_check_only
class BlocksCut(TypedDict):
    """`blocks(start, end)`: data blocks `start` up to (not including) `end`; block 0 follows
    the metadata block."""

    type: Literal["blocks"]
    start: int | None
    end: int | None

_Cut = SecondsCut | BlocksCut

@type_check_only
class Metadata(TypedDict):
    """What `read_metadata` returns; times are naive ISO 8601 texts of the device clock."""

    packet_header: Literal["MD"]
    packet_length: int
    hardware_type: Literal["AX3", "AX6"]
    device_id: int
    session_id: int
    upper_device_id: int
    logging_start_time_raw: str | None
    logging_end_time_raw: str | None
    last_change_time_raw: str | None
    start_from_data_raw: str | None
    end_from_data_raw: str | None
    flash_led: int
    sensor_config: int
    sample_rate_hz: float
    accel_range: int
    firmware_revision: int
    annotation: str
    gyro_range: int | None
    magnetometer_enabled: bool

@type_check_only
class SamplingConsistencyReport(TypedDict):
    """What `sampling_consistency_report` returns."""

    start_from_header_raw: str | None
    end_from_header_raw: str | None
    duration_s_from_header: float | None
    start_from_data_raw: str | None
    end_from_data_raw: str | None
    duration_s_from_data: float | None
    samplingrate_hz_from_header: float
    samplingrate_hz_from_data: float | None

def read_metadata(file_path: str) -> Metadata: ...
def sampling_consistency_report(file_path: str) -> SamplingConsistencyReport: ...
def seconds(start: _Real | None = None, end: _Real | None = None) -> SecondsCut: ...
def blocks(start: SupportsIndex | None = None, end: SupportsIndex | None = None) -> BlocksCut: ...
def read_cwa_file(
    file_path: str,
    cut: _Cut | None = None,
    include_magnetometer: _Flag = True,
    include_temperature: _Flag = True,
    include_light: _Flag = True,
    include_battery: _Flag = True,
    resample_hz: _Real | None = None,
    resample_method: str = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> pd.DataFrame: ...
def write_cwa_csv(
    file_path: str,
    output_path: str,
    cut: _Cut | None = None,
    include_magnetometer: _Flag = True,
    include_temperature: _Flag = False,
    include_light: _Flag = False,
    include_battery: _Flag = False,
    resample_hz: _Real | None = None,
    resample_method: str = "cubic",
    *,
    fixed_utc_offset_timezone: datetime.tzinfo | None = None,
) -> None: ...
