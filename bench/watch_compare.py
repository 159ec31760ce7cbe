"""Directory watching, quorvel against watchdog's inotify observer, pyinotify and `inotifywait -m -r`, side by
side on the same work (figures only, never pass/fail). Each side runs in its own process on a fresh tmpfs
directory; the files are made by another process (bench/watch_writer.py) pinned to its own CPU. The burst is
100,000 creations over 100 directories (WATCH_BENCH_BURST, WATCH_BENCH_BURST_DIRS); the latency case makes 1,000
files 2 ms apart (WATCH_BENCH_LATENCY_WRITES, WATCH_BENCH_LATENCY_PAUSE_MS); the roundtrip case is write-then-wait:
the writer makes a file, waits until the side has seen it (the side's handler acknowledges it through a pipe), then
makes the next; 1,000 timed writes after 10 untimed ones (WATCH_BENCH_ROUNDTRIP_WRITES, _WARMUP).

  PYTHONPATH=<build>/python python3.13 bench/watch_compare.py [--cases burst,latency,roundtrip,idle] [--runs N]
                                                              [--impls quorvel,watchdog,pyinotify,inotifywait]
                                                              [--root TMPFS_DIR]

quorvel runs under the interpreter that runs this script; the peers under /usr/bin/python3 (Debian's
python3-watchdog and python3-pyinotify are not importable from 3.13). Work happens in /dev/shm (a tmpfs), or under
--root (mount a tmpfs of your own there: /dev/shm is shared with everything else on the machine); /tmp is a slow
disk here.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"


def run_side(impl, case, root):
    python = sys.executable if impl == "quorvel" else SYSTEM_PYTHON
    workdir = tempfile.mkdtemp(prefix=f"quorvel-bench-{impl}-", dir=root)
    try:
        out = subprocess.run([python, os.path.join(HERE, "watch_side.py"), impl, case, workdir, SYSTEM_PYTHON],
                             capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            return {"impl": impl, "case": case, "error": out.stderr.strip().splitlines()[-1:]}
        return json.loads(out.stdout.strip().splitlines()[-1])
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def median(results, key):
    values = [r[key] for r in results if key in r]
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cases", default="burst,latency,roundtrip,idle")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--impls", default="quorvel,watchdog,pyinotify,inotifywait")
    parser.add_argument("--root", default="/dev/shm", help="a tmpfs directory to work in")
    args = parser.parse_args()
    impls = args.impls.split(",")
    for case in args.cases.split(","):
        results = {impl: [run_side(impl, case, args.root) for _ in range(args.runs)] for impl in impls}
        print(f"\n== {case} ({args.runs} runs each, medians)")
        for impl in impls:
            for r in results[impl]:
                if "error" in r:
                    print(f"  {impl}: error {r['error']}")
        if case == "burst":
            print(f"  {'':12} {'files':>7} {'lost':>6} {'s to last event':>16} {'events/s':>10} {'cpu s':>7} "
                  f"{'cpu us/event':>13} {'writer s':>9}")
            for impl in impls:
                rs = results[impl]
                print(f"  {impl:12} {median(rs, 'files'):7.0f} {max(r.get('lost', 0) for r in rs):6d} "
                      f"{median(rs, 'seconds_to_last_event'):16.3f} {median(rs, 'events_per_second'):10.0f} "
                      f"{median(rs, 'cpu_seconds'):7.2f} {median(rs, 'cpu_us_per_event'):13.1f} "
                      f"{median(rs, 'writer_seconds'):9.3f}")
            if "quorvel" in impls:
                q = results["quorvel"]
                handler = median(q, "handler_cpu_us_per_event")
                print(f"  quorvel's figure includes the benchmark's Python handler: {handler:.1f} us per call when "
                      f"called from a Python loop")
                for peer in impls:
                    if peer == "quorvel":
                        continue
                    rate = median(results[peer], "events_per_second")
                    cpu = median(results[peer], "cpu_us_per_event")
                    print(f"  quorvel/{peer}: events/s {median(q, 'events_per_second') / rate:.2f}, "
                          f"cpu per event {median(q, 'cpu_us_per_event') / cpu:.2f}")
                    if peer == "inotifywait":
                        with_reader = median(results[peer], "with_reader_cpu_us_per_event")
                        print(f"  inotifywait with this process reading its lines into the same handler: "
                              f"{with_reader:.1f} us per event; quorvel/that {median(q, 'cpu_us_per_event') / with_reader:.2f}; "
                              f"quorvel less its handler/inotifywait alone "
                              f"{(median(q, 'cpu_us_per_event') - handler) / cpu:.2f}")
        elif case in ("latency", "roundtrip"):
            print(f"  {'':12} {'writes':>7} {'seen':>6} {'median us':>10} {'p99 us':>10} {'max us':>10}")
            for impl in impls:
                rs = results[impl]
                print(f"  {impl:12} {median(rs, 'writes'):7.0f} {min(r.get('seen', 0) for r in rs):6d} "
                      f"{median(rs, 'median_us'):10.0f} {median(rs, 'p99_us'):10.0f} {median(rs, 'max_us'):10.0f}")
        elif case == "idle":
            print(f"  {'':12} {'watches':>8} {'seconds':>8} {'cpu s':>8} {'cpu %':>7}")
            for impl in impls:
                rs = results[impl]
                print(f"  {impl:12} {median(rs, 'watches'):8.0f} {median(rs, 'seconds'):8.1f} "
                      f"{median(rs, 'cpu_seconds'):8.4f} {median(rs, 'cpu_percent'):7.2f}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
