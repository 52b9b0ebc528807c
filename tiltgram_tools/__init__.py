"""Tools around the `tiltgram` reader: the `tiltgram` command and the Python functions it calls.

`import tiltgram` is the reader itself (six functions); this package holds what is built on it.
"""

from __future__ import annotations

import pkgutil

# The compiled part (`_activity`) is installed with the package; a checkout imported from
# its own folder (tests run from the repository) finds it in the installed copy.
__path__ = pkgutil.extend_path(__path__, __name__)

from tiltgram_tools.batch import ConvertSummary, UsageError, convert_many
from tiltgram_tools.summary import Summary, summarize

__all__: list[str] = ["ConvertSummary", "Summary", "UsageError", "convert_many", "summarize"]
