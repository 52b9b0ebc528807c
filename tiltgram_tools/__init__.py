"""Tools around the `tiltgram` reader: the `tiltgram` command and the Python functions it calls.

`import tiltgram` is the reader itself (six functions); this package holds what is built on it.
The functions here take paths as `str` or `os.PathLike` and report through `logging` (logger
"tiltgram_tools"), which the command configures.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as _version

try:
    __version__: str = _version("tiltgram")
except PackageNotFoundError:  # run from a source tree that is not installed
    __version__ = "0+unknown"

from tiltgram_tools.batch import (ConvertSummary, Job, Progress, ReadOptions,  # noqa: E402
                                  convert_many, run_batch)
from tiltgram_tools.common import UsageError  # noqa: E402

__all__: list[str] = ["ConvertSummary", "Job", "Progress", "ReadOptions", "UsageError",
                      "__version__", "convert_many", "run_batch"]
