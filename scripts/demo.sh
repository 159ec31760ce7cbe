#!/usr/bin/env bash
# Installs what is missing, builds the module and runs the demo in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
PY313=${PY313:-/root/.pyenv/versions/3.13.0/bin/python3.13}
bash scripts/setup.sh
cmake -G Ninja -S . -B build/release -DQUORVEL_PYTHON="$PY313" >/dev/null
cmake --build build/release -j "$(nproc)" --target quorvel
PYTHONPATH=build/release/python exec "$PY313" examples/demo.py "$@"
