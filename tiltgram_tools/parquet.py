"""A frame of `tiltgram.read_cwa_file` as a Parquet file, without copying its columns.

`pyarrow.Table.from_pandas` would turn every NaN into a null (a missing gyroscope value is a
NaN, bit for bit) and works column by column through pandas. Instead each NumPy column
becomes an Arrow array over the same memory, and the pandas description of the table
(index column `timestamp` with its time zone, column order, dtypes) is taken from the
frame's first zero rows, so `pandas.read_parquet` gives back an equal frame and other
readers see a `timestamp` column.
"""

from __future__ import annotations

from typing import Any

from tiltgram_tools.extras import require

COMPRESSION = "zstd"


def frame_to_table(frame: Any) -> Any:
    """The frame as a `pyarrow.Table` whose columns share the frame's memory."""
    pa = require("pyarrow", "parquet")
    schema = pa.Table.from_pandas(frame.iloc[:0], preserve_index=True).schema
    arrays = []
    for name in schema.names:
        if name in frame.columns:
            arrays.append(pa.array(frame[name].to_numpy(), type=schema.field(name).type))
        else:  # the index: int64 microseconds viewed as Arrow timestamps of its zone
            arrays.append(pa.array(frame.index.asi8).view(schema.field(name).type))
    return pa.Table.from_arrays(arrays, schema=schema)


def write_parquet(frame: Any, path: str) -> None:
    """Writes the frame to `path` with zstd compression."""
    pq = require("pyarrow.parquet", "parquet")
    pq.write_table(frame_to_table(frame), path, compression=COMPRESSION)
