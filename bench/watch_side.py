"""One side of the watcher comparison: quorvel (under CPython 3.13), or watchdog's inotify observer, pyinotify's
threaded notifier or `inotifywait -m` (read line by line), the peers under the system Python, where Debian's
python3-watchdog and python3-pyinotify live. Prints one JSON object with its figures.

  watch_side.py IMPL CASE WORKDIR WRITER_PYTHON
  IMPL: quorvel | watchdog | pyinotify | inotifywait;  CASE: burst | latency | roundtrip | idle
"""
import json
import os
import resource
import subprocess
import sys
import threading
import time

BURST = int(os.environ.get("WATCH_BENCH_BURST", "100000"))
BURST_DIRS = int(os.environ.get("WATCH_BENCH_BURST_DIRS", "100"))
LATENCY_WRITES = int(os.environ.get("WATCH_BENCH_LATENCY_WRITES", "1000"))
LATENCY_PAUSE_MS = os.environ.get("WATCH_BENCH_LATENCY_PAUSE_MS", "2")
ROUNDTRIP_WRITES = int(os.environ.get("WATCH_BENCH_ROUNDTRIP_WRITES", "1000"))
ROUNDTRIP_WARMUP = int(os.environ.get("WATCH_BENCH_ROUNDTRIP_WARMUP", "10"))
IDLE_WATCHES = 100
IDLE_SECONDS = float(os.environ.get("WATCH_BENCH_IDLE_SECONDS", "10"))
WRITER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "watch_writer.py")


class QuorvelSide:
    def __init__(self, on_created):
        import quorvel

        self.q = quorvel
        self.ids = []

        def handler(watch_id, action, path, old_path):
            if action == quorvel.CREATE:
                on_created(path)

        self.handler = handler
        assert quorvel.start_fs_watch(handler)

    def handler_cpu_seconds(self, paths):
        """Python's own share: the same handler called from a Python loop, once per path (made beforehand)."""
        create = self.q.FsWatchAction.CREATE
        before = own_cpu()
        for path in paths:
            self.handler(1, create, path, "")
        return own_cpu() - before

    def watch(self, directory, recursive):
        f = self.q.WatchFilter()
        f.pattern = "*"
        f.recursive_depth = -1 if recursive else 0
        watch_id = self.q.add_fs_watch(directory, [f], self.q.CREATE, False)
        assert watch_id
        self.ids.append(watch_id)

    def close(self):
        self.q.stop_fs_watch()
        for watch_id in self.ids:
            self.q.remove_fs_watch(watch_id)


class WatchdogSide:
    def __init__(self, on_created):
        from watchdog.events import FileSystemEventHandler
        from watchdog.observers.inotify import InotifyObserver

        class Handler(FileSystemEventHandler):
            def on_created(self, event):
                on_created(event.src_path)

        self.handler = Handler()
        self.observer = InotifyObserver()
        self.observer.start()

    def watch(self, directory, recursive):
        self.observer.schedule(self.handler, directory, recursive=recursive)

    def close(self):
        self.observer.stop()
        self.observer.join()


class PyinotifySide:
    def __init__(self, on_created):
        import pyinotify

        class Handler(pyinotify.ProcessEvent):
            def process_IN_CREATE(self, event):
                on_created(event.pathname)

        self.pyinotify = pyinotify
        self.manager = pyinotify.WatchManager()
        self.notifier = pyinotify.ThreadedNotifier(self.manager, Handler())
        self.notifier.start()

    def watch(self, directory, recursive):
        self.manager.add_watch(directory, self.pyinotify.IN_CREATE, rec=recursive, auto_add=recursive)

    def close(self):
        self.notifier.stop()


class InotifywaitSide:
    """`inotifywait -m`, its lines read by a thread of this process; its processor time is the tool's own."""

    def __init__(self, on_created):
        self.on_created = on_created
        self.processes = []
        self.readers = []

    def watch(self, directory, recursive):
        args = ["inotifywait", "-m", "-q", "-e", "create", "--format", "%w%f"] + (["-r"] if recursive else [])
        process = subprocess.Popen(args + [directory], stdout=subprocess.PIPE, text=True, bufsize=1)
        self.processes.append(process)

        def read():
            for line in process.stdout:
                self.on_created(line.rstrip("\n"))

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        self.readers.append(reader)

    def cpu_seconds(self):
        total = 0.0
        for process in self.processes:
            with open(f"/proc/{process.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        return total

    def close(self):
        for process in self.processes:
            process.terminate()
            process.wait()


def make_side(impl, on_created):
    return {"quorvel": QuorvelSide, "watchdog": WatchdogSide, "pyinotify": PyinotifySide,
            "inotifywait": InotifywaitSide}[impl](on_created)


def own_cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def cpu_now(side):
    """Processor time of whoever consumes the events: this process, or inotifywait's own."""
    if isinstance(side, InotifywaitSide):
        return side.cpu_seconds()
    return own_cpu()


def wait_until_armed(directory, seen, lock):
    """A new watch reports only once its first read (or inotify watch) is in place: probe until one arrives."""
    for attempt in range(2000):
        probe = os.path.join(directory, f".armed-{attempt}")
        os.close(os.open(probe, os.O_CREAT | os.O_WRONLY, 0o644))
        end = time.monotonic() + 0.05
        while time.monotonic() < end:
            with lock:
                if any(".armed-" in p for p in seen):
                    return
            time.sleep(0.001)
    raise SystemExit("watch never armed")


def burst(impl, workdir, writer_python):
    root = os.path.join(workdir, "burst")
    subdirs = BURST_DIRS
    for i in range(subdirs):
        os.makedirs(os.path.join(root, f"s{i}"))
    seen, lock, done = set(), threading.Lock(), threading.Event()
    names = [os.path.join(root, f"s{i % subdirs}", f"f{i}") for i in range(BURST)]
    expected = set(names)
    state = {"count": 0, "last": 0}

    def on_created(path):
        with lock:
            seen.add(path)
            if path in expected:
                state["count"] += 1
                state["last"] = time.monotonic_ns()
                if state["count"] >= BURST:
                    done.set()

    side = make_side(impl, on_created)
    side.watch(root, recursive=True)
    wait_until_armed(root, seen, lock)
    start = time.monotonic_ns()
    cpu_before, own_before = cpu_now(side), own_cpu()
    out = subprocess.run([writer_python, WRITER, "burst", root, str(BURST), str(subdirs)], capture_output=True,
                         text=True, check=True).stdout
    writer = json.loads(out)
    # Done when all arrived, or when nothing new arrived for 3 s after the writer finished.
    while not done.wait(0.1):
        with lock:
            quiet = time.monotonic_ns() - max(state["last"], writer["end_ns"]) > 3e9
        if quiet:
            break
    cpu, own = cpu_now(side) - cpu_before, own_cpu() - own_before
    side.close()
    with lock:
        got = len(seen & expected)
        last = state["last"]
    elapsed = (last - writer["start_ns"]) / 1e9 if got else float("nan")
    result = {"files": BURST, "seen": got, "lost": BURST - got, "seconds_to_last_event": elapsed,
              "events_per_second": got / elapsed if got else 0.0,
              "writer_seconds": (writer["end_ns"] - writer["start_ns"]) / 1e9,
              "cpu_seconds": cpu, "cpu_us_per_event": 1e6 * cpu / got if got else float("nan"),
              "setup_to_writer_ns": writer["start_ns"] - start}
    if got and isinstance(side, InotifywaitSide):
        # What the quorvel figure includes and this one does not: the lines read and handed to the same Python
        # handler, by this process.
        result["with_reader_cpu_us_per_event"] = 1e6 * (cpu + own) / got
    if got and isinstance(side, QuorvelSide):
        with lock:  # as the burst found them
            seen.clear()
            state["count"] = 0
        result["handler_cpu_us_per_event"] = 1e6 * side.handler_cpu_seconds(names) / BURST
    return result


def latency(impl, workdir, writer_python):
    root = os.path.join(workdir, "latency")
    os.makedirs(root)
    arrivals, lock = {}, threading.Lock()
    seen = set()

    def on_created(path):
        now = time.monotonic_ns()
        with lock:
            seen.add(path)
            arrivals.setdefault(path, now)

    side = make_side(impl, on_created)
    side.watch(root, recursive=False)
    wait_until_armed(root, seen, lock)
    out = subprocess.run([writer_python, WRITER, "latency", root, str(LATENCY_WRITES), LATENCY_PAUSE_MS], capture_output=True,
                         text=True, check=True).stdout
    stamps = json.loads(out)
    end = time.monotonic() + 5
    while time.monotonic() < end:
        with lock:
            if sum(1 for i in range(LATENCY_WRITES) if os.path.join(root, f"f{i}") in arrivals) == LATENCY_WRITES:
                break
        time.sleep(0.01)
    side.close()
    with lock:
        samples = sorted((arrivals[os.path.join(root, f"f{i}")] - stamps[i]) / 1e3
                         for i in range(LATENCY_WRITES) if os.path.join(root, f"f{i}") in arrivals)
    if not samples:
        return {"writes": LATENCY_WRITES, "seen": 0}

    def pct(p):
        return samples[min(len(samples) - 1, int(p / 100.0 * len(samples)))]

    return {"writes": LATENCY_WRITES, "seen": len(samples), "median_us": pct(50), "p99_us": pct(99),
            "max_us": samples[-1]}


def percentiles(samples):
    samples = sorted(samples)

    def pct(p):
        return samples[min(len(samples) - 1, int(p / 100.0 * len(samples)))]

    return {"median_us": pct(50), "p99_us": pct(99), "max_us": samples[-1]}


def roundtrip(impl, workdir, writer_python):
    """Write-then-wait: the writer makes the next file only once this side has seen the last one, as a tool that
    writes a file and waits for its own change does. Every change then arrives after a quiet spell as short as the
    round trip itself."""
    root = os.path.join(workdir, "roundtrip")
    os.makedirs(root)
    arrivals, lock, armed = {}, threading.Lock(), threading.Event()
    seen = set()
    writer = None

    def on_created(path):
        now = time.monotonic_ns()
        with lock:
            seen.add(path)
            name = os.path.basename(path)
            if writer is None or name.startswith(".armed-") or name in arrivals:
                return
            arrivals[name] = now
        os.write(writer.stdin.fileno(), b"!")

    side = make_side(impl, on_created)
    side.watch(root, recursive=False)
    wait_until_armed(root, seen, lock)
    with lock:
        writer = subprocess.Popen([writer_python, WRITER, "roundtrip", root, str(ROUNDTRIP_WRITES),
                                   str(ROUNDTRIP_WARMUP)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    out = writer.stdout.read()  # the writer gives up by itself when an acknowledgement is 10 s late
    writer.wait()
    writer.stdin.close()
    side.close()
    if writer.returncode != 0:
        raise SystemExit(f"roundtrip writer failed ({writer.returncode})")
    stamps = json.loads(out)
    with lock:
        samples = [(arrivals[f"f{i}"] - stamps[i]) / 1e3 for i in range(ROUNDTRIP_WRITES) if f"f{i}" in arrivals]
    result = {"writes": ROUNDTRIP_WRITES, "warmup": ROUNDTRIP_WARMUP, "seen": len(samples)}
    if samples:
        result.update(percentiles(samples))
    return result


def idle(impl, workdir, writer_python):
    dirs = [os.path.join(workdir, "idle", str(i)) for i in range(IDLE_WATCHES)]
    for d in dirs:
        os.makedirs(d)
    side = make_side(impl, lambda path: None)
    for d in dirs:
        side.watch(d, recursive=False)
    time.sleep(1.0)
    before = resource.getrusage(resource.RUSAGE_SELF)
    time.sleep(IDLE_SECONDS)
    after = resource.getrusage(resource.RUSAGE_SELF)
    side.close()
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return {"watches": IDLE_WATCHES, "seconds": IDLE_SECONDS, "cpu_seconds": cpu,
            "cpu_percent": 100.0 * cpu / IDLE_SECONDS, "threads": threading.active_count()}


def main():
    impl, case, workdir, writer_python = sys.argv[1:5]
    result = {"burst": burst, "latency": latency, "roundtrip": roundtrip, "idle": idle}[case](impl, workdir, writer_python)
    result.update(impl=impl, case=case, python=sys.version.split()[0])
    print(json.dumps(result))


if __name__ == "__main__":
    main()
