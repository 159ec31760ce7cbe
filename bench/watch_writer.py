"""Makes the file-system work of the watcher benchmarks, in a process of its own (never the one whose handler is
measured: the GIL would throttle the writer and hide losses). Runs under any Python 3.

  watch_writer.py burst DIR COUNT [SUBDIRS]     create COUNT empty files spread over DIR/s0..s{SUBDIRS-1}
  watch_writer.py latency DIR COUNT PAUSE_MS    create COUNT files one by one, printing each creation's
                                                CLOCK_MONOTONIC time (ns) as a JSON list at the end
  watch_writer.py roundtrip DIR COUNT WARMUP    write-then-wait: create WARMUP files w0.. then COUNT files f0..,
                                                each after the consumer has seen the one before (one byte on
                                                stdin acknowledges it); prints the creation times of f0.. as above
Pins itself to the last CPU so that it does not compete with the watcher it feeds.
"""
import json
import os
import select
import sys
import time


def main():
    mode, directory, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) > 1:
        os.sched_setaffinity(0, {cpus[-1]})
    if mode == "burst":
        subdirs = int(sys.argv[4]) if len(sys.argv) > 4 else 10
        names = [os.path.join(directory, f"s{i % subdirs}", f"f{i}") for i in range(count)]
        start = time.monotonic_ns()
        for name in names:
            os.close(os.open(name, os.O_CREAT | os.O_WRONLY, 0o644))
        print(json.dumps({"start_ns": start, "end_ns": time.monotonic_ns()}))
    elif mode == "latency":
        pause = float(sys.argv[4]) / 1000.0
        stamps = []
        for i in range(count):
            name = os.path.join(directory, f"f{i}")
            stamps.append(time.monotonic_ns())
            os.close(os.open(name, os.O_CREAT | os.O_WRONLY, 0o644))
            time.sleep(pause)
        print(json.dumps(stamps))
    elif mode == "roundtrip":
        warmup = int(sys.argv[4])
        names = [f"w{i}" for i in range(warmup)] + [f"f{i}" for i in range(count)]
        stamps = []
        for name in names:
            stamps.append(time.monotonic_ns())
            os.close(os.open(os.path.join(directory, name), os.O_CREAT | os.O_WRONLY, 0o644))
            if not select.select([0], [], [], 10)[0] or not os.read(0, 1):
                raise SystemExit(f"the consumer did not see {name}")
        print(json.dumps(stamps[warmup:]))
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main()
