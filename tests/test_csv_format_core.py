"""Runs the C++ check of the CSV number formatting (exact 6- and 4-decimal text)."""

from cpp_program import run_check


def test_fixed_point_text_matches_exact_rounding():
    run_check("test_csv_format")
