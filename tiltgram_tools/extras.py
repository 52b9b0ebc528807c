"""Optional dependencies, imported on demand with a message that names the extra to install."""

from __future__ import annotations

import importlib
from types import ModuleType


class MissingExtraError(ImportError):
    """An optional dependency is not installed."""


def require(module: str, extra: str) -> ModuleType:
    """Imports `module`, or raises MissingExtraError naming the pip extra that brings it."""
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise MissingExtraError(
            f"{module} is needed for this and is not installed: "
            f"pip install 'tiltgram[{extra}]'"
        ) from exc
