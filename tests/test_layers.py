"""The source folders form layers: a file includes its own folder and the folders below it,
never one above. The core (everything but the *_py files) stays free of Python."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"

# Lowest first. Folders on one line are side by side and include none of each other.
LAYERS = [
    ["errors"],
    ["binding"],
    ["packet"],
    ["header"],
    ["package/columns", "package/memory"],
    ["package/decode"],
    ["package/walk", "package/resample"],
    ["package/plan", "package/report"],
    ["package/read"],
    ["package/csv"],
    ["activity"],
    ["activity/py"],
    ["module"],
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^#include "([^"]+)"', re.M)


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp", ".inc"))


def folder_of(relative: str) -> str:
    return relative.rsplit("/", 1)[0]


def test_every_folder_has_a_layer():
    folders = {folder_of(p.relative_to(SRC).as_posix()) for p in sources()}
    assert folders <= RANK.keys(), sorted(folders - RANK.keys())


@pytest.mark.parametrize("path", sources(), ids=lambda p: p.relative_to(SRC).as_posix())
def test_includes_stay_at_or_below_the_files_layer(path):
    own = folder_of(path.relative_to(SRC).as_posix())
    text = path.read_text()
    for included in INCLUDE.findall(text):
        there = folder_of(included)
        assert there in RANK, f"{included}: not a source folder"
        assert there == own or RANK[there] < RANK[own], f"{own} includes {included}, a layer above"
    # Python's headers belong to the binding files alone.
    if not path.stem.endswith("_py"):
        assert "Python.h" not in text and "numpy/" not in text
