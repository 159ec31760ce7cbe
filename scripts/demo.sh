#!/usr/bin/env bash
# Installs what is missing, builds the module and the fixture programs the demo uses (the X11 window program, the
# Windows program with icons) and runs the demo in examples/. Arguments go to examples/demo.py (--display: show
# the window part on $DISPLAY instead of a private Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
. scripts/find-python.sh
find_python313
echo "build: the module, the X11 window program and the icon fixtures into build/release"
started=$SECONDS
log=build/demo-build.log
mkdir -p build
if ! { cmake -G Ninja -S . -B build/release -DQUORVEL_PYTHON="$PY313" &&
       cmake --build build/release -j "$(nproc)" --target quorvel x11_window quorvel_icon_fixtures; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "build FAILED (whole log: $log)" >&2
  exit 1
fi
echo "build: done in $((SECONDS - started)) s"
PYTHONPATH=build/release/python QUORVEL_BUILD_DIR=build/release exec "$PY313" examples/demo.py "$@"
