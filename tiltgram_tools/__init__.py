"""Tools around the `tiltgram` reader: the `tiltgram` command and the Python functions it calls.

`import tiltgram` is the reader itself (six functions); this package holds what is built on it.
"""

from __future__ import annotations

__all__: list[str] = []
