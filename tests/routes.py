"""The ways a recording can be read: every exported function that opens a file, and for the
two readers every route through them (cut kinds, resampling, the three CSV routes)."""

from __future__ import annotations

import tiltgram

# name -> (function name, keyword arguments). A seconds cut takes the CSV writer's collected
# route, a rate its resampled route; otherwise it streams.
READ_ROUTES = {
    "read": ("read_cwa_file", {}),
    "read-blocks": ("read_cwa_file", {"cut": tiltgram.blocks(0)}),
    "read-seconds": ("read_cwa_file", {"cut": tiltgram.seconds(0)}),
    "resampled": ("read_cwa_file", {"resample_hz": 50.0}),
    "resampled-blocks": ("read_cwa_file", {"cut": tiltgram.blocks(0), "resample_hz": 50.0}),
    "resampled-seconds": ("read_cwa_file", {"cut": tiltgram.seconds(0), "resample_hz": 50.0}),
    "csv-streamed": ("write_cwa_csv", {}),
    "csv-streamed-blocks": ("write_cwa_csv", {"cut": tiltgram.blocks(0)}),
    "csv-collected": ("write_cwa_csv", {"cut": tiltgram.seconds(0)}),
    "csv-resampled": ("write_cwa_csv", {"resample_hz": 50.0}),
}
REPORT_ROUTES = {
    "metadata": ("read_metadata", {}),
    "report": ("sampling_consistency_report", {}),
}
ROUTES = {**READ_ROUTES, **REPORT_ROUTES}


def kind(route: str) -> str:
    """The cut kind of a route: "seconds", "blocks" or "whole"."""
    cut = ROUTES[route][1].get("cut")
    return cut["type"] if cut else "whole"


def call(route: str, path: str, output: str, func=None, **extra):
    """Runs `route` on the recording `path` (a CSV route writes `output`); `extra` adds or
    replaces keyword arguments. `func` looks the function up (default: in tiltgram)."""
    name, kwargs = ROUTES[route]
    f = (func or (lambda n: getattr(tiltgram, n)))(name)
    args = (path, output) if name == "write_cwa_csv" else (path,)
    return f(*args, **{**kwargs, **extra})


def outcome(route: str, path: str, output: str, **extra):
    """(exception type, text) of a failed call, or ("ok", None)."""
    try:
        call(route, path, output, **extra)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return type(exc), str(exc)
    return "ok", None
