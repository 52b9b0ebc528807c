import itertools

import pytest

import builders


@pytest.fixture
def write_file(tmp_path):
    """write_file(data, name=None) -> str path of a new file in the test's tmp dir."""
    counter = itertools.count()

    def make(data: bytes, name: str | None = None) -> str:
        return builders.write(tmp_path / (name or f"rec{next(counter)}.cwa"), data)

    return make


@pytest.fixture
def cwa(write_file):
    """cwa(sectors=(), trailing=b"", header_bytes=None, **header_fields) -> str path.

    Writes a recording made of a metadata block (``header_bytes`` or
    ``builders.header(**header_fields)``), the given sectors and trailing bytes.
    """

    def make(sectors=(), trailing=b"", header_bytes=None, **header_fields) -> str:
        head = builders.header(**header_fields) if header_bytes is None else header_bytes
        return write_file(builders.recording(head, sectors, trailing))

    return make
