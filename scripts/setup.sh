#!/usr/bin/env bash
# Creates .venv with Python 3.13, installs the build and test dependencies and builds
# tiltgram into it.
set -euo pipefail
cd "$(dirname "$0")/.."
find_python() {
  for p in python3.13 "$HOME/.pyenv/versions/3.13"*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
    if command -v "$p" >/dev/null 2>&1 && "$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
      command -v "$p"; return 0
    fi
  done
  return 1
}
if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  PY=$(find_python) || { echo "Python 3.13 not found" >&2; exit 1; }
  rm -rf .venv
  "$PY" -m venv .venv
fi
# zlib's headers (gzip-compressed recordings); Debian's Python development packages bring
# them, a bare machine gets them from apt where it can.
if ! printf '#include <zlib.h>\n' | ${CXX:-c++} -E -x c++ - >/dev/null 2>&1; then
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    apt-get install -y -q zlib1g-dev >/dev/null || { apt-get update -q >/dev/null && apt-get install -y -q zlib1g-dev >/dev/null; }
  else
    echo "zlib's development headers are missing: install zlib1g-dev (Debian, Ubuntu) or zlib-devel" >&2
    exit 1
  fi
fi
# Intel's ISA-L inflates gzip data about twice as fast as zlib; without it the build uses
# zlib alone.
if ! printf '#include <isa-l/igzip_lib.h>\n' | ${CXX:-c++} -E -x c++ - >/dev/null 2>&1; then
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    apt-get install -y -q libisal-dev >/dev/null 2>&1 || { apt-get update -q >/dev/null && apt-get install -y -q libisal-dev >/dev/null; } ||
      echo "libisal-dev could not be installed: gzip data will be inflated by zlib alone" >&2
  else
    echo "ISA-L's development files are missing (libisal-dev on Debian, Ubuntu): gzip data will be inflated by zlib alone" >&2
  fi
fi
.venv/bin/python -m pip install -q --disable-pip-version-check numpy pandas pytest scikit-build-core ninja cmake
# The extension with every optional dependency (Parquet, Dask, progress bar, plotting, type
# checking) and the test tools.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation '.[all,test]'
