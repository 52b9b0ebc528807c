#!/usr/bin/env bash
# Cross-compiles the core's C++ checks (the CSV number formatting, the resampler against its
# oracle, the memory arithmetic) and the fuzz targets for aarch64 with Debian's
# g++-aarch64-linux-gnu (cmake/aarch64-linux-gnu.cmake), and runs them under qemu-aarch64
# through ctest: the checks, and every fuzz corpus replayed whole. There the plain C++ code
# runs, not the x86-64 vector code. Needs g++-aarch64-linux-gnu, qemu-user and
# zlib1g-dev:arm64 (.ci/run installs them).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d .venv/bin ] && PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/aarch64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTILTGRAM_MODULE=OFF -DTILTGRAM_CHECKS=ON -DTILTGRAM_FUZZ=ON >/dev/null
cmake --build build/aarch64
ctest --test-dir build/aarch64 --output-on-failure -j 2
