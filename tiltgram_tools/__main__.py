"""`python -m tiltgram_tools` runs the `tiltgram` command."""

from __future__ import annotations

import sys

from tiltgram_tools.cli import main

if __name__ == "__main__":
    sys.exit(main())
