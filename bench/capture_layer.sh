#!/usr/bin/env bash
# One capture of a 1920x1080 monitor through the duplication layer against XShmGetImage (reused segment: the
# floor; and one-shot), XGetImage and Pillow's ImageGrab (Debian python3-pil under Debian's /usr/bin/python3), all
# on the same private Xvfb. Prints median milliseconds and the ratios to the floor; figures only.
#
#   bash bench/capture_layer.sh [BUILD_DIR] [RUNS]        (default build/release, 50)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
runs=${2:-50}
bin="$build/bench/bench_capture_layer"
[ -x "$bin" ] || { echo "build $bin first" >&2; exit 1; }

fdfile=$(mktemp)
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset 3>"$fdfile" 2>/dev/null &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; rm -f "$fdfile"' EXIT
for _ in $(seq 100); do [ -s "$fdfile" ] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$fdfile")"

out=$("$bin" "$runs")
echo "$out"
floor=$(echo "$out" | awk '/reused segment/ {print $NF}')
grab=$(/usr/bin/python3 bench/capture_imagegrab.py "$runs")
printf '%-44s %8.2f\n' "Pillow ImageGrab.grab()" "$grab"
awk -v g="$grab" -v f="$floor" 'BEGIN {printf "ratio to the floor: ImageGrab %.2f\n", g / f}'
