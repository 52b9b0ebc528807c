#!/usr/bin/env bash
# Sets everything up and runs the demo on a recording it generates itself.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python examples/demo.py
