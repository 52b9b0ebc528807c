#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UBSan into build/asan and runs the test suite
# against it (after scripts/setup.sh has made .venv). The C++ checks and the fuzz targets
# are built there too, as the tests build them (tests/cpp_program.py), on the same core.
set -euo pipefail
cd "$(dirname "$0")/.."
PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTILTGRAM_SANITIZE=ON \
  -DTILTGRAM_CHECKS=ON -DTILTGRAM_FUZZ=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/asan
# Laid out as pip installs it: the module beside its type stubs. Freed memory is held in a
# quarantine of 16 MB (not the default 256 MB), so that the tests that check memory stays
# flat over repeated calls see the quarantine full, not filling.
cmake --install build/asan --prefix build/asan/site >/dev/null
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0:quarantine_size_mb=16 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
PYTHONPATH="$PWD/build/asan/site" \
  .venv/bin/python -m pytest -q tests --ignore=tests/test_fuzz_replay.py "$@"
