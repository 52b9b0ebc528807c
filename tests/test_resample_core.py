"""Builds and runs the C++ check of the streaming resampler against a whole-list oracle."""

from cpp_program import build_and_run


def test_streaming_resampler_matches_whole_list_oracle(tmp_path):
    build_and_run(tmp_path, "test_resample",
                  ["src/package/resample.cpp", "src/package/resample_vector.cpp",
                   "src/package/resample_vector_avx2.cpp",
                   "src/package/resample_vector_sse2.cpp", "src/package/isa.cpp",
                   "src/package/column.cpp", "src/header/time.cpp"])
