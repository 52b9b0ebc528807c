"""Runs the C++ check of the streaming resampler against a whole-list oracle."""

from cpp_program import run_check


def test_streaming_resampler_matches_whole_list_oracle():
    run_check("test_resample")
