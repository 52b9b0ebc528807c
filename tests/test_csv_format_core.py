"""Builds and runs the C++ check of the CSV number formatting (exact 6- and 4-decimal text)."""

from cpp_program import build_and_run


def test_fixed_point_text_matches_exact_rounding(tmp_path):
    build_and_run(tmp_path, "test_csv_format", ["src/package/csv_format.cpp"])
