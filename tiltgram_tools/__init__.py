"""Tools around the `tiltgram` reader: the `tiltgram` command and the Python functions it calls.

`import tiltgram` is the reader itself (six functions); this package holds what is built on it.
"""

from __future__ import annotations

from tiltgram_tools.batch import ConvertSummary, UsageError, convert_many

__all__: list[str] = ["ConvertSummary", "UsageError", "convert_many"]
