#!/usr/bin/env bash
# 100,000 file creations across a tree of 100 directories on a tmpfs, made by a separate process, consumed at the
# same time by ReadDirectoryChangesW on this platform layer (subtree watch, drained through
# GetQueuedCompletionStatus) and by `inotifywait -m -r`. Prints events per second, events lost and peak memory
# (VmHWM) and processor time of each consumer, and the ratios. Both consumers usually keep pace with the writer, so
# events per second mostly measures the writer; processor time shows what each consumer spends. Figures only.
#
#   bash bench/inotify_burst.sh [BUILD_DIR]        (default build/release; N=... DIRS=... to change the burst)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
N=${N:-100000}
DIRS=${DIRS:-100}
bin="$build/bench/bench_inotify_burst"
[ -x "$bin" ] || { echo "build $bin first" >&2; exit 1; }
command -v inotifywait >/dev/null || { echo "inotifywait missing (Debian inotify-tools)" >&2; exit 1; }

work=$(mktemp -d /tmp/quorvel-burst.XXXXXX)
mnt="$work/mnt"
mkdir -p "$mnt"
if mount -t tmpfs -o size=1g,mode=0755 tmpfs "$mnt" 2>/dev/null; then
  fs="tmpfs mounted at $mnt"
  root="$mnt/tree"
  cleanup() { kill $(jobs -p) 2>/dev/null || true; umount "$mnt" 2>/dev/null || true; rm -rf "$work"; }
else
  fs="/dev/shm (could not mount a tmpfs)"
  root="/dev/shm/quorvel-burst-$$"
  cleanup() { kill $(jobs -p) 2>/dev/null || true; rm -rf "$root" "$work"; }
fi
trap cleanup EXIT

# 10 top-level directories with 9 below each: 100 directories in two levels.
for top in $(seq 0 9); do
  mkdir -p "$root/t$top"
  for sub in $(seq 1 9); do mkdir -p "$root/t$top/s$sub"; done
done
[ "$DIRS" = 100 ] || echo "note: DIRS is fixed at 100 by the tree layout" >&2

cpus=$(nproc)
# A prefix that pins a command to one CPU (taskset execs it, so $! stays the command's own process id).
pin() { if [ "$cpus" -ge 4 ]; then echo "taskset -c $1"; fi; }

# Our consumer, on its own CPU.
$(pin 1) "$bin" watch "$root" "$N" > "$work/ours" &
ours=$!
until grep -q ready "$work/ours" 2>/dev/null; do sleep 0.05; done

# The peer, on another CPU: inotifywait printing one line per creation into a line counter with the same timing.
mkfifo "$work/iw.pipe"
$(pin 3) "$bin" count "$N" < "$work/iw.pipe" > "$work/theirs" &
counter=$!
$(pin 2) inotifywait -m -r -e create --format '%w%f' "$root" 2> "$work/iw.err" > "$work/iw.pipe" &
iw=$!
until grep -q "Watches established" "$work/iw.err" 2>/dev/null; do sleep 0.05; done

# The burst, from a separate process on its own CPU.
$(pin 0) "$bin" write "$root" "$N" > "$work/writer"

# Both consumers stop at N events, or after 5 s without one.
wait $ours || true
wait $counter || true
iw_hwm=$(awk '/VmHWM/ {print $2}' /proc/$iw/status 2>/dev/null || echo -1)
iw_cpu=$(awk -v hz="$(getconf CLK_TCK)" '{printf "%.3f", ($14 + $15) / hz}' /proc/$iw/stat 2>/dev/null || echo -1)
kill $iw 2>/dev/null || true
wait $iw 2>/dev/null || true
overflow=$(grep -c -i "overflow" "$work/iw.err" || true)

echo "file system: $fs; kernel max_queued_events=$(cat /proc/sys/fs/inotify/max_queued_events)"
cat "$work/writer"
grep -v "^ready$" "$work/ours"
# The counter's own figures are replaced by those of the inotifywait process.
sed -e "s/vmhwm_kib=[-0-9]*/vmhwm_kib=$iw_hwm/" -e "s/cpu_seconds=[-0-9.]*/cpu_seconds=$iw_cpu/" "$work/theirs"
[ "$overflow" = 0 ] || echo "inotifywait reported a queue overflow"
ours_rate=$(sed -n 's/.*events_per_second=\([0-9]*\).*/\1/p' "$work/ours")
theirs_rate=$(sed -n 's/.*events_per_second=\([0-9]*\).*/\1/p' "$work/theirs")
ours_hwm=$(sed -n 's/.*vmhwm_kib=\([0-9]*\).*/\1/p' "$work/ours")
if [ -n "$theirs_rate" ] && [ "$theirs_rate" -gt 0 ]; then
  ours_cpu=$(sed -n 's/.*cpu_seconds=\([0-9.]*\).*/\1/p' "$work/ours")
  awk -v a="$ours_rate" -v b="$theirs_rate" -v m="$ours_hwm" -v n="$iw_hwm" -v c="$ours_cpu" -v d="$iw_cpu" \
    'BEGIN { printf "ratio quorvel/inotifywait: events_per_second %.2f, cpu_seconds %.2f, vmhwm %.2f\n",
             a / b, c / d, m / n }'
fi
