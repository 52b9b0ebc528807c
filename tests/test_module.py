"""Module surface: import, exported names, signatures, docstrings, argument intake and errors."""

import errno
import importlib
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tiltgram

from builders import contiguous_blocks

EXPORTED = [
    "read_metadata",
    "sampling_consistency_report",
    "seconds",
    "blocks",
    "read_cwa_file",
    "write_cwa_csv",
]


def missing_path(tmp_path):
    return str(tmp_path / "does-not-exist.cwa")


ENOENT_TEXT = f"IO error: {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"


# --- import and module object ---------------------------------------------------

def test_repeated_import_gives_same_module_and_registers_functions_once():
    again = importlib.import_module("tiltgram")
    assert again is tiltgram
    saved = sys.modules.pop("tiltgram")
    try:
        reloaded = importlib.import_module("tiltgram")
        assert reloaded is saved
        assert reloaded.__all__ == EXPORTED
    finally:
        sys.modules["tiltgram"] = saved


def test_all_lists_the_six_functions_in_registration_order():
    assert type(tiltgram.__all__) is list
    assert tiltgram.__all__ == EXPORTED


def test_module_adds_nothing_but_its_functions():
    public = sorted(n for n in dir(tiltgram) if not n.startswith("_"))
    assert public == sorted(tiltgram.__all__)
    doc = tiltgram.__doc__
    assert isinstance(doc, str) and doc.strip() and "\n" not in doc.strip()


@pytest.mark.parametrize("name", EXPORTED)
def test_functions_belong_to_the_module(name):
    f = getattr(tiltgram, name)
    assert callable(f)
    assert f.__name__ == name
    assert f.__module__ == "tiltgram"


def test_subinterpreter_import_is_refused_cleanly():
    script = textwrap.dedent("""
        import _interpreters
        import tiltgram
        interp = _interpreters.create("legacy")
        try:
            res = _interpreters.run_string(interp, "import tiltgram")
        finally:
            _interpreters.destroy(interp)
        print(res.type.__name__ if res is not None else "imported")
        print(res.msg if res is not None else "")
        print(tiltgram.seconds(1.0)["start"])
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    kind, msg, after = proc.stdout.splitlines()
    assert kind == "ImportError"
    assert "interpreter" in msg.lower()
    assert after == "1.0"


# --- signatures and docstrings ----------------------------------------------------

SIGNATURES = {
    "read_metadata": "(file_path)",
    "sampling_consistency_report": "(file_path)",
    "seconds": "(start=None, end=None)",
    "blocks": "(start=None, end=None)",
    "read_cwa_file": "(file_path, cut=None, include_magnetometer=True, include_temperature=True, "
    "include_light=True, include_battery=True, resample_hz=None, resample_method='cubic', *, "
    "fixed_utc_offset_timezone=None)",
    "write_cwa_csv": "(file_path, output_path, cut=None, include_magnetometer=True, "
    "include_temperature=False, include_light=False, include_battery=False, resample_hz=None, "
    "resample_method='cubic', *, fixed_utc_offset_timezone=None)",
}


@pytest.mark.parametrize("name", EXPORTED)
def test_text_signature(name):
    sig = inspect.signature(getattr(tiltgram, name))
    assert str(sig) == SIGNATURES[name]
    kinds = {p.name: p.kind for p in sig.parameters.values()}
    for pname, kind in kinds.items():
        expected = (inspect.Parameter.KEYWORD_ONLY if pname == "fixed_utc_offset_timezone"
                    else inspect.Parameter.POSITIONAL_OR_KEYWORD)
        assert kind == expected, pname


READ_METADATA_DOC = """\
Read CWA header and sample timing metadata without timezone conversion.
Scans packet metadata without decoding sensor values.
`logging_start_time_raw`, `logging_end_time_raw`, and `last_change_time_raw`
are naive ISO 8601 strings preserving the unaltered sensor clock values,
or None when unset. Convert them to UTC or local time for most analysis.
`start_from_data_raw` and `end_from_data_raw` are the first and last actual
sample timestamps, including packet sample offsets and continuity correction,
or None when no valid samples exist. Seconds cuts start at `start_from_data_raw`.
`last_change_time_raw` records the last metadata write, which need not be
the last clock synchronization; check your configuration software."""

REPORT_DOC = """\
Return a sampling consistency report for a CWA file.

The returned dictionary contains:

- `start_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_start_time`
  field, or `None` when the header uses an unset marker.
- `end_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_end_time`
  field, or `None` when the header uses an unset marker.
- `duration_s_from_header`: `end_from_header_raw - start_from_header_raw` in seconds, or
  `None` when either header timestamp is unavailable.
- `start_from_data_raw`: ISO 8601 timestamp of the first sample produced by the data
  packets, using the same packet timestamp, `timestampOffset`, and continuity
  correction as `read_cwa_file`.
- `end_from_data_raw`: ISO 8601 timestamp of the last sample produced by the data
  packets, using the same timestamp calculation as `read_cwa_file`.
- `duration_s_from_data`: `end_from_data_raw - start_from_data_raw` in seconds. This is
  the inclusive first-sample-to-last-sample span, not the half-open packet end.
- `samplingrate_hz_from_header`: nominal sampling rate decoded from the metadata
  block sampling-rate code as `3200 / (1 << (15 - (rate_code & 0x0f)))`.
- `samplingrate_hz_from_data`: effective sampling rate calculated as
  `(sample_count - 1) / duration_s_from_data`, or `None` when fewer than two
  samples or no positive data duration are available.

All timestamp strings preserve the raw device clock without a timezone.
Convert them to UTC or local time before analysis using the clock-sync offset.
This method accepts no UTC offset or timezone."""


@pytest.mark.parametrize("name, text", [
    ("read_metadata", READ_METADATA_DOC),
    ("sampling_consistency_report", REPORT_DOC),
])
def test_report_docstrings(name, text):
    doc = getattr(tiltgram, name).__doc__
    assert doc is not None
    assert doc.removesuffix("\n") == text


@pytest.mark.parametrize("name", ["seconds", "blocks"])
def test_cut_constructors_have_only_a_signature(name):
    f = getattr(tiltgram, name)
    assert f.__doc__ in (None, "")
    assert f.__text_signature__ == "(start=None, end=None)"


# --- argument matching ------------------------------------------------------------

def _call(name, *args, **kwargs):
    return getattr(tiltgram, name)(*args, **kwargs)


ARGUMENT_ERRORS = [
    ("read_metadata", ("a", "b"), {}, "read_metadata() takes 1 positional arguments but 2 were given"),
    ("sampling_consistency_report", ("a", "b", "c"), {},
     "sampling_consistency_report() takes 1 positional arguments but 3 were given"),
    ("read_metadata", ("a", "b"), {"bogus": 1}, "read_metadata() takes 1 positional arguments but 2 were given"),
    ("read_metadata", (), {}, "read_metadata() missing 1 required positional argument: 'file_path'"),
    ("sampling_consistency_report", (), {},
     "sampling_consistency_report() missing 1 required positional argument: 'file_path'"),
    ("read_metadata", ("a",), {"path": "b"}, "read_metadata() got an unexpected keyword argument 'path'"),
    ("read_metadata", ("a",), {"file_path": "b"},
     "read_metadata() got multiple values for argument 'file_path'"),
    ("seconds", (1, 2, 3), {}, "seconds() takes from 0 to 2 positional arguments but 3 were given"),
    ("blocks", (1, 2, 3, 4), {}, "blocks() takes from 0 to 2 positional arguments but 4 were given"),
    ("seconds", (1,), {"start": 2}, "seconds() got multiple values for argument 'start'"),
    ("blocks", (), {"begin": 1}, "blocks() got an unexpected keyword argument 'begin'"),
    ("read_cwa_file", (), {}, "read_cwa_file() missing 1 required positional argument: 'file_path'"),
    ("read_cwa_file", ("a",) + (None,) * 8, {},
     "read_cwa_file() takes from 1 to 8 positional arguments but 9 were given"),
    ("read_cwa_file", ("a",), {"timezone": None}, "read_cwa_file() got an unexpected keyword argument 'timezone'"),
    ("read_cwa_file", ("a", None), {"cut": None}, "read_cwa_file() got multiple values for argument 'cut'"),
    ("write_cwa_csv", (), {},
     "write_cwa_csv() missing 2 required positional arguments: 'file_path' and 'output_path'"),
    ("write_cwa_csv", (), {"file_path": "a"},
     "write_cwa_csv() missing 1 required positional argument: 'output_path'"),
    ("write_cwa_csv", (), {"output_path": "a"},
     "write_cwa_csv() missing 1 required positional argument: 'file_path'"),
    ("write_cwa_csv", ("a", "b") + (None,) * 8, {},
     "write_cwa_csv() takes from 2 to 9 positional arguments but 10 were given"),
]


@pytest.mark.parametrize("name, args, kwargs, message", ARGUMENT_ERRORS,
                         ids=[f"{e[0]}-{e[3].split(') ')[1][:30]}" for e in ARGUMENT_ERRORS])
def test_argument_matching_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        _call(name, *args, **kwargs)
    assert str(exc.value) == message


def test_keyword_only_timezone_by_keyword_is_matched(tmp_path):
    # Matching succeeds; the call then fails on the missing file, not on the arguments.
    import datetime as dt
    with pytest.raises(RuntimeError):
        _call("read_cwa_file", missing_path(tmp_path), fixed_utc_offset_timezone=dt.timezone.utc)


# --- argument conversion ----------------------------------------------------------

CONVERSION_ERRORS = [
    ("read_metadata", lambda p: (pathlib.Path(p),), {},
     "argument 'file_path': 'PosixPath' object cannot be converted to 'PyString'"),
    ("read_metadata", lambda p: (p.encode(),), {},
     "argument 'file_path': 'bytes' object cannot be converted to 'PyString'"),
    ("read_metadata", lambda p: (None,), {},
     "argument 'file_path': 'NoneType' object cannot be converted to 'PyString'"),
    ("sampling_consistency_report", lambda p: (3,), {},
     "argument 'file_path': 'int' object cannot be converted to 'PyString'"),
    ("read_cwa_file", lambda p: (p,), {"include_light": 1},
     "argument 'include_light': 'int' object cannot be converted to 'PyBool'"),
    ("read_cwa_file", lambda p: (p,), {"include_battery": None},
     "argument 'include_battery': 'NoneType' object cannot be converted to 'PyBool'"),
    ("read_cwa_file", lambda p: (p,), {"resample_method": None},
     "argument 'resample_method': 'NoneType' object cannot be converted to 'PyString'"),
    ("read_cwa_file", lambda p: (p,), {"fixed_utc_offset_timezone": 0},
     "argument 'fixed_utc_offset_timezone': 'int' object cannot be converted to 'PyTzInfo'"),
    # The earlier parameter in the signature is reported first.
    ("read_cwa_file", lambda p: (pathlib.Path(p),), {"include_light": 1},
     "argument 'file_path': 'PosixPath' object cannot be converted to 'PyString'"),
    ("read_cwa_file", lambda p: (p,), {"include_light": 2, "include_temperature": 1},
     "argument 'include_temperature': 'int' object cannot be converted to 'PyBool'"),
    # Conversion happens before the cut is examined.
    ("read_cwa_file", lambda p: (p, [1]), {"include_magnetometer": 0},
     "argument 'include_magnetometer': 'int' object cannot be converted to 'PyBool'"),
    ("write_cwa_csv", lambda p: (p, pathlib.Path(p + ".csv")), {},
     "argument 'output_path': 'PosixPath' object cannot be converted to 'PyString'"),
    ("write_cwa_csv", lambda p: (p, p + ".csv"), {"include_temperature": "yes"},
     "argument 'include_temperature': 'str' object cannot be converted to 'PyBool'"),
]


@pytest.mark.parametrize("name, make_args, kwargs, message", CONVERSION_ERRORS,
                         ids=[f"{e[0]}-{e[3].split(':')[0][10:-1]}-{i}" for i, e in enumerate(CONVERSION_ERRORS)])
def test_argument_conversion_errors(tmp_path, name, make_args, kwargs, message):
    path = missing_path(tmp_path)
    with pytest.raises(TypeError) as exc:
        _call(name, *make_args(path), **kwargs)
    assert type(exc.value) is TypeError
    assert str(exc.value) == message
    assert not os.path.exists(path)


def test_unencodable_path_error_passes_unchanged():
    with pytest.raises(UnicodeEncodeError):
        tiltgram.read_metadata("bad\udc80name.cwa")


def test_float_conversion_failure_is_prefixed(tmp_path):
    with pytest.raises(TypeError) as exc:
        _call("read_cwa_file", missing_path(tmp_path), resample_hz="fast")
    assert str(exc.value).startswith("argument 'resample_hz': ")


def test_numpy_bool_is_accepted_as_flag(cwa):
    path = cwa(contiguous_blocks(1))
    with_light = _call("read_cwa_file", path, include_light=np.True_)
    without_light = _call("read_cwa_file", path, include_light=np.False_)
    assert len(with_light.columns) == len(without_light.columns) + 1


# --- errors from the body ---------------------------------------------------------

@pytest.mark.parametrize("name", ["read_metadata", "sampling_consistency_report", "read_cwa_file"])
def test_missing_file_is_runtime_error_not_oserror(tmp_path, name):
    with pytest.raises(RuntimeError) as exc:
        _call(name, missing_path(tmp_path))
    assert type(exc.value) is RuntimeError
    assert not isinstance(exc.value, OSError)
    assert str(exc.value) == ENOENT_TEXT


def test_write_csv_missing_input_is_runtime_error(tmp_path):
    out = tmp_path / "out.csv"
    with pytest.raises(RuntimeError) as exc:
        tiltgram.write_cwa_csv(missing_path(tmp_path), str(out))
    assert str(exc.value).startswith("IO error: ")
    assert str(exc.value).endswith(" (os error 2)")


@pytest.mark.parametrize("name", ["read_metadata", "sampling_consistency_report", "read_cwa_file"])
def test_path_with_nul_character(tmp_path, name):
    with pytest.raises(RuntimeError) as exc:
        _call(name, str(tmp_path / "bad\0name.cwa"))
    assert str(exc.value).startswith("IO error: ")
    assert "nul" in str(exc.value).lower()


def test_directory_as_recording_fails_on_read(tmp_path):
    with pytest.raises(RuntimeError) as exc:
        tiltgram.read_metadata(str(tmp_path))
    assert str(exc.value) == f"IO error: {os.strerror(errno.EISDIR)} (os error {errno.EISDIR})"


def test_bad_cut_is_reported_before_missing_file(tmp_path):
    with pytest.raises(ValueError) as exc:
        tiltgram.read_cwa_file(missing_path(tmp_path), cut={"type": "blocks", "start": 4, "end": 2})
    assert str(exc.value) == "blocks end must be greater than start"


def test_cut_dict_gives_same_text_as_seconds(tmp_path):
    with pytest.raises(ValueError) as direct:
        tiltgram.seconds(-1)
    with pytest.raises(ValueError) as via_cut:
        tiltgram.read_cwa_file(missing_path(tmp_path), cut={"type": "seconds", "start": -1, "end": None})
    assert str(direct.value) == str(via_cut.value) == "seconds cut values must be >= 0"
