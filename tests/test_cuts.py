"""seconds() and blocks(): the cut dicts, argument conversion and validation; cut dicts read back."""

import collections
import decimal
import fractions
import math

import numpy as np
import pytest

import tiltgram

from builders import contiguous_blocks

INF = math.inf
NAN = math.nan
U64_MAX = 2**64 - 1

FINITE = "seconds cut values must be finite"
NON_NEGATIVE = "seconds cut values must be >= 0"
SECONDS_ORDER = "seconds end must be greater than start"
BLOCKS_ORDER = "blocks end must be greater than start"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __float__(self):
        return 2.5


class RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class MyFloat(float):
    pass


# --- returned dicts -----------------------------------------------------------------

@pytest.mark.parametrize("make, kind", [(tiltgram.seconds, "seconds"), (tiltgram.blocks, "blocks")])
def test_default_cut(make, kind):
    cut = make()
    assert type(cut) is dict
    assert list(cut.items()) == [("type", kind), ("start", None), ("end", None)]
    assert make() is not cut
    cut["start"] = 99
    assert make()["start"] is None


@pytest.mark.parametrize("args, kwargs, start, end", [
    ((10,), {}, 10.0, None),
    ((True,), {}, 1.0, None),
    ((False, True), {}, 0.0, 1.0),
    ((2.5, 7), {}, 2.5, 7.0),
    ((), {"end": 3}, None, 3.0),
    ((None, 4.0), {}, None, 4.0),
    ((-0.0,), {}, -0.0, None),
    ((0, 1e-300), {}, 0.0, 1e-300),
    ((None, 0), {}, None, 0.0),
    ((np.float32(0.1),), {}, float(np.float32(0.1)), None),
    ((np.float64(1.25), np.int64(3)), {}, 1.25, 3.0),
    ((fractions.Fraction(1, 4),), {}, 0.25, None),
    ((decimal.Decimal("1.5"),), {}, 1.5, None),
    ((FloatOnly(),), {}, 2.5, None),
    ((Index(7),), {}, 7.0, None),
    ((MyFloat(0.75),), {}, 0.75, None),
    ((2**53 + 1,), {}, float(2**53 + 1), None),
], ids=["int", "bool", "bools", "float-int", "end-kw", "none-start", "neg-zero", "tiny", "end-zero",
        "np-float32", "np-float64-int64", "fraction", "decimal", "__float__", "__index__",
        "float-subclass", "big-int"])
def test_seconds_values(args, kwargs, start, end):
    cut = tiltgram.seconds(*args, **kwargs)
    assert list(cut) == ["type", "start", "end"]
    assert cut["type"] == "seconds"
    for got, want in ((cut["start"], start), (cut["end"], end)):
        if want is None:
            assert got is None
        else:
            assert type(got) is float
            assert got == want
            assert math.copysign(1.0, got) == math.copysign(1.0, want)


@pytest.mark.parametrize("args, kwargs, start, end", [
    ((3,), {}, 3, None),
    ((True, 5), {}, 1, 5),
    ((False,), {}, 0, None),
    ((), {"end": 0}, None, 0),
    ((3, 4), {}, 3, 4),
    ((np.int64(5), np.uint64(U64_MAX)), {}, 5, U64_MAX),
    ((Index(9),), {}, 9, None),
    ((0, U64_MAX), {}, 0, U64_MAX),
], ids=["int", "bool", "false", "end-zero", "adjacent", "numpy", "__index__", "u64-max"])
def test_blocks_values(args, kwargs, start, end):
    cut = tiltgram.blocks(*args, **kwargs)
    assert list(cut) == ["type", "start", "end"]
    assert cut["type"] == "blocks"
    for got, want in ((cut["start"], start), (cut["end"], end)):
        if want is None:
            assert got is None
        else:
            assert type(got) is int
            assert got == want


# --- validation -----------------------------------------------------------------------

@pytest.mark.parametrize("start, end, message", [
    (-1e-9, None, NON_NEGATIVE),
    (None, -1, NON_NEGATIVE),
    (-1, -2, NON_NEGATIVE),
    (NAN, None, FINITE),
    (None, -INF, FINITE),
    (1, INF, FINITE),
    (-1, NAN, NON_NEGATIVE),   # start is checked completely first
    (INF, -1, FINITE),
    (NAN, -1, FINITE),
    (5, -1, NON_NEGATIVE),     # range checks come before the ordering check
    (5, 5, SECONDS_ORDER),
    (5, 4, SECONDS_ORDER),
    (0, 0, SECONDS_ORDER),
    (0, -0.0, SECONDS_ORDER),
    (1e300, 1e300, SECONDS_ORDER),
], ids=lambda v: repr(v) if not isinstance(v, str) else v.split()[-1])
def test_seconds_validation(start, end, message):
    with pytest.raises(ValueError) as exc:
        tiltgram.seconds(start, end)
    assert type(exc.value) is ValueError
    assert str(exc.value) == message


@pytest.mark.parametrize("start, end", [(3, 3), (3, 2), (U64_MAX, U64_MAX), (1, 0), (True, False)])
def test_blocks_validation(start, end):
    with pytest.raises(ValueError) as exc:
        tiltgram.blocks(start, end)
    assert type(exc.value) is ValueError
    assert str(exc.value) == BLOCKS_ORDER


# --- argument conversion errors ----------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: tiltgram.seconds("1"), "argument 'start': must be real number, not str"),
    (lambda: tiltgram.seconds(None, "x"), "argument 'end': must be real number, not str"),
    (lambda: tiltgram.seconds("a", "b"), "argument 'start': must be real number, not str"),
    (lambda: tiltgram.seconds(-1, [2]), "argument 'end': must be real number, not list"),
    (lambda: tiltgram.seconds(1j), "argument 'start': must be real number, not complex"),
    (lambda: tiltgram.blocks(1.5), "argument 'start': 'float' object cannot be interpreted as an integer"),
    (lambda: tiltgram.blocks(1, "2"), "argument 'end': 'str' object cannot be interpreted as an integer"),
    (lambda: tiltgram.blocks(np.float64(2.0)),
     "argument 'start': 'numpy.float64' object cannot be interpreted as an integer"),
], ids=["str", "end-str", "both", "conversion-before-validation", "complex", "float", "end-str-blocks",
        "np-float"])
def test_conversion_type_errors_are_prefixed(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert type(exc.value) is TypeError
    assert str(exc.value) == message


@pytest.mark.parametrize("make, bad", [
    (tiltgram.seconds, RaisingFloat),
    (tiltgram.blocks, RaisingIndex),
])
def test_conversion_type_error_keeps_cause(make, bad):
    root = KeyError("root")
    inner = TypeError("no number here")
    inner.__cause__ = root
    with pytest.raises(TypeError) as exc:
        make(None, bad(inner))
    assert str(exc.value) == "argument 'end': no number here"
    assert exc.value.__cause__ is root

    with pytest.raises(TypeError) as exc:
        make(bad(TypeError("plain")))
    assert str(exc.value) == "argument 'start': plain"
    assert exc.value.__cause__ is None


NEGATIVE = "can't convert negative int to unsigned"  # CPython's own texts, passed through


@pytest.mark.parametrize("call, exc_type, text", [
    (lambda: tiltgram.blocks(-1), OverflowError, NEGATIVE),
    (lambda: tiltgram.blocks(-1, "x"), OverflowError, NEGATIVE),      # start first
    (lambda: tiltgram.blocks(None, np.int64(-5)), OverflowError, NEGATIVE),
    (lambda: tiltgram.blocks(2**64), OverflowError, "int too big to convert"),
    (lambda: tiltgram.blocks(Index(-1)), OverflowError, NEGATIVE),
    (lambda: tiltgram.seconds(10**400), OverflowError, "int too large to convert to float"),
    (lambda: tiltgram.seconds(RaisingFloat(ValueError("bad value"))), ValueError, "bad value"),
    (lambda: tiltgram.blocks(RaisingIndex(ZeroDivisionError("zero"))), ZeroDivisionError, "zero"),
], ids=["neg", "neg-start-first", "np-neg-end", "2**64", "index-neg", "huge-float", "value-error",
        "zero-division"])
def test_other_conversion_errors_pass_unchanged(call, exc_type, text):
    with pytest.raises(exc_type) as exc:
        call()
    assert (type(exc.value), str(exc.value)) == (exc_type, text)


def test_value_error_from_float_is_the_same_object():
    err = ValueError("mine")
    with pytest.raises(ValueError) as exc:
        tiltgram.seconds(RaisingFloat(err))
    assert exc.value is err


# --- cut dicts given to the readers -----------------------------------------------------------

READERS = ["read_cwa_file", "write_cwa_csv"]


def call_reader(name, path, tmp_path, **kwargs):
    func = getattr(tiltgram, name)
    if name == "write_cwa_csv":
        return func(path, str(tmp_path / "out.csv"), **kwargs)
    return func(path, **kwargs)


class CutDict(dict):
    pass


BAD_CUTS = [
    ([1], ValueError, "cut must be created by seconds() or blocks()"),
    ("seconds", ValueError, "cut must be created by seconds() or blocks()"),
    (0, ValueError, "cut must be created by seconds() or blocks()"),
    (collections.OrderedDict(), ValueError, "cut is missing type"),
    ({}, ValueError, "cut is missing type"),
    ({"start": 1}, ValueError, "cut is missing type"),
    ({"type": "Seconds"}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    ({"type": ""}, ValueError, "cut type must be 'seconds' or 'blocks'"),
    (CutDict(type="whole"), ValueError, "cut type must be 'seconds' or 'blocks'"),
    ({"type": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ({"type": b"seconds"}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ({"type": "blocks", "start": 4, "end": 2}, ValueError, BLOCKS_ORDER),
    ({"type": "seconds", "start": -1}, ValueError, NON_NEGATIVE),
    ({"type": "seconds", "start": 3, "end": NAN}, ValueError, FINITE),
    ({"type": "seconds", "start": 3.0, "end": 3}, ValueError, SECONDS_ORDER),
    ({"type": "blocks", "start": -1}, OverflowError, NEGATIVE),
    ({"type": "blocks", "end": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
    ({"type": "seconds", "start": "1"}, TypeError, "must be real number, not str"),
]


@pytest.mark.parametrize("cut, exc_type, message", BAD_CUTS, ids=[f"{i}" for i in range(len(BAD_CUTS))])
@pytest.mark.parametrize("reader", READERS)
def test_bad_cut_fails_before_the_file_is_opened(tmp_path, reader, cut, exc_type, message):
    with pytest.raises(exc_type) as exc:
        call_reader(reader, str(tmp_path / "missing.cwa"), tmp_path, cut=cut)
    # Conversion errors inside the dict carry no argument prefix.
    assert (type(exc.value), str(exc.value)) == (exc_type, message)


@pytest.mark.parametrize("cut", [
    None,
    {"type": "seconds", "start": 2},
    {"type": "seconds", "start": None, "extra": object()},
    {"type": "blocks", "start": None, "end": None},
    CutDict(type="blocks", start=1, end=2),
], ids=["none", "seconds-int", "extra-key", "blocks-none", "subclass"])
@pytest.mark.parametrize("reader", READERS)
def test_valid_cut_reaches_the_file(tmp_path, reader, cut):
    with pytest.raises(RuntimeError) as exc:
        call_reader(reader, str(tmp_path / "missing.cwa"), tmp_path, cut=cut)
    assert str(exc.value).startswith("IO error: ")


@pytest.mark.parametrize("reader", READERS)
def test_cut_is_examined_before_resample_options(tmp_path, reader):
    with pytest.raises(ValueError) as exc:
        call_reader(reader, str(tmp_path / "missing.cwa"), tmp_path, cut=[1], resample_hz=-1.0)
    assert str(exc.value) == "cut must be created by seconds() or blocks()"


def test_cut_dict_from_constructors_reads(cwa, tmp_path):
    path = cwa(contiguous_blocks(3))
    whole = call_reader("read_cwa_file", path, tmp_path)
    assert len(call_reader("read_cwa_file", path, tmp_path, cut=tiltgram.blocks(1, 2))) == 120
    assert len(call_reader("read_cwa_file", path, tmp_path, cut=tiltgram.blocks())) == len(whole) == 360
