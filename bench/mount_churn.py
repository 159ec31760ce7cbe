"""What a busy mount table costs a process with open watches (figures only, never pass/fail): in a private mount
namespace of its own (nothing outside it is touched; needs root), MOUNTS tmpfs mounts are made (a container host),
WATCHES folders on one more tmpfs are watched, and another process mounts and unmounts an unrelated tmpfs CYCLES
times (RATE a second; 0: as fast as they go) while it creates a file in one watched folder every FILE_EVERY cycles. Prints the watching process's processor
time, per second of the churn, and whether every file was reported, nothing else was, and no watch ended.

  PYTHONPATH=<build>/python python3.13 bench/mount_churn.py [--mounts 3000] [--cycles 1000] [--watches 20]
                                                            [--file-every 10] [--rate 500] [--runs 3]
"""
import argparse
import ctypes
import json
import logging
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

libc = ctypes.CDLL(None, use_errno=True)
MS_REC, MS_PRIVATE = 0x4000, 0x40000

CHURN = r"""
import ctypes, os, sys, time
libc = ctypes.CDLL(None, use_errno=True)
point, cycles, every, run, mounting = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5] == "1"
rate = float(sys.argv[6])
folders = sys.argv[7:]
start = time.monotonic()
for i in range(cycles):
    if rate > 0:
        pause = start + i / rate - time.monotonic()
        if pause > 0:
            time.sleep(pause)
    if mounting and (libc.mount(b"churn", point.encode(), b"tmpfs", 0, None) != 0 or
                     libc.umount2(point.encode(), 0) != 0):
        sys.exit(f"mount cycle {i}: {os.strerror(ctypes.get_errno())}")
    if i % every == 0:
        with open(os.path.join(folders[(i // every) % len(folders)], f"file-{i}-{run}"), "w") as f:
            f.write("x")
print(time.monotonic() - start)
"""


def check(result, what):
    if result != 0:
        raise OSError(ctypes.get_errno(), f"{what}: {os.strerror(ctypes.get_errno())}")


def mount_tmpfs(path, name=b"quorvel-bench"):
    check(libc.mount(name, os.fsencode(path), b"tmpfs", 0, None), f"mount {path}")


def threads_cpu():
    """Processor seconds of each thread of this process, by thread id (the scheduler's count, in nanoseconds)."""
    result = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                result[tid] = int(f.read().split()[0]) / 1e9
        except OSError:
            continue
    return result


def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mounts", type=int, default=3000)
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--watches", type=int, default=20)
    parser.add_argument("--file-every", type=int, default=10)
    parser.add_argument("--rate", type=float, default=500, help="cycles per second; 0: as fast as they go")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    # Before any thread exists: the namespace and everything mounted in it go with this process.
    os.unshare(os.CLONE_NEWNS)
    check(libc.mount(None, b"/", None, MS_REC | MS_PRIVATE, None), "private mounts")
    root = tempfile.mkdtemp(prefix="quorvel-mount-churn-")
    mount_tmpfs(root)
    made = time.monotonic()
    for i in range(args.mounts):
        os.mkdir(os.path.join(root, f"m{i}"))
        mount_tmpfs(os.path.join(root, f"m{i}"), b"quorvel-bench-filler")
    with open("/proc/self/mountinfo") as table:
        mounts = sum(1 for _ in table)
    print(f"{mounts} mounts in the table (made in {time.monotonic() - made:.1f} s)", file=sys.stderr)
    watched = os.path.join(root, "watched")
    point = os.path.join(root, "churn")
    os.mkdir(watched)
    os.mkdir(point)
    mount_tmpfs(watched)
    folders = [os.path.join(watched, f"w{i}") for i in range(args.watches)]
    for folder in folders:
        os.mkdir(folder)

    import quorvel

    def wait_for(condition, timeout=10.0):
        end = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > end:
                return False
            time.sleep(0.005)
        return True

    every = quorvel.WatchFilter()
    every.pattern = "*"
    every.recursive_depth = 0

    lines = []

    class Collect(logging.Handler):
        def emit(self, record):
            lines.append(record.getMessage())

    logging.getLogger("bench").addHandler(Collect())
    quorvel.init_logging("bench")
    events = []
    assert quorvel.start_fs_watch(lambda watch_id, action, path, old: events.append((action, path)))
    for folder in folders:
        assert quorvel.add_fs_watch(folder, [every], quorvel.CREATE | quorvel.MODIFY | quorvel.DELETE, False)
    # Armed: every watch reports a probe.
    attempt = [0]

    def armed(folder):
        attempt[0] += 1
        probe = os.path.join(folder, f"probe-{attempt[0]}")
        open(probe, "w").close()
        return wait_for(lambda: any(p == probe for _, p in events), 0.05)

    for folder in folders:
        assert wait_for(lambda: armed(folder)), folder
    time.sleep(0.5)

    idle_before = cpu()
    time.sleep(1.0)
    idle = cpu() - idle_before

    wanted = {quorvel.FsWatchAction.CREATE, quorvel.FsWatchAction.MODIFY}
    def one(run, mounting):
        """The watching process's processor time while the other process runs, and what its watches saw."""
        expected = {os.path.join(folders[(i // args.file_every) % len(folders)], f"file-{i}-{run}")
                    for i in range(0, args.cycles, args.file_every)}
        del events[:]
        threads_before = threads_cpu()
        before = cpu()
        out = subprocess.run([sys.executable, "-c", CHURN, point, str(args.cycles), str(args.file_every), run,
                              "1" if mounting else "0", str(args.rate), *folders], capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        wait_for(lambda: expected <= {p for _, p in events}, 10)
        time.sleep(1.0)  # a table read still due after the churn is part of its cost
        spent = cpu() - before
        threads_after = threads_cpu()
        by_thread = sorted((round(t - threads_before.get(tid, 0), 4) for tid, t in threads_after.items()), reverse=True)
        seen = {p for _, p in events}
        return {
            "seconds": float(out.stdout.strip()),
            "cpu_s": spent,
            "by_thread": [t for t in by_thread if t > 0.0001],
            "lost": len(expected - seen),
            "spurious": len([e for e in events if e[1] not in expected or e[0] not in wanted]),
            "ended": len([line for line in lines if "failed on directory" in line]),
        }

    wanted = {quorvel.FsWatchAction.CREATE, quorvel.FsWatchAction.MODIFY}
    results = []
    for run in range(args.runs):
        # The same files without the mounts first: what the churn adds is the difference.
        control = one(f"c{run}", False)
        churn = one(f"m{run}", True)
        added = churn["cpu_s"] - control["cpu_s"]
        results.append({
            "churn_s": churn["seconds"], "cpu_s": churn["cpu_s"], "control_cpu_s": control["cpu_s"],
            "by_thread": churn["by_thread"],
            "cpu_per_s": churn["cpu_s"] / churn["seconds"], "added_cpu_per_s": added / churn["seconds"],
            "lost": churn["lost"] + control["lost"], "spurious": churn["spurious"] + control["spurious"],
            "ended": churn["ended"],
        })
        print(json.dumps(results[-1]), file=sys.stderr)
    quorvel.stop_fs_watch()
    print(json.dumps({
        "mounts": mounts, "cycles": args.cycles, "rate": args.rate, "watches": args.watches, "files": len(range(0, args.cycles, args.file_every)),
        "idle_cpu_s_per_s": round(idle, 4),
        "churn_s_median": round(statistics.median(r["churn_s"] for r in results), 3),
        "cpu_s_median": round(statistics.median(r["cpu_s"] for r in results), 4),
        "cpu_per_s_median": round(statistics.median(r["cpu_per_s"] for r in results), 4),
        "cpu_per_s_range": [round(min(r["cpu_per_s"] for r in results), 4),
                            round(max(r["cpu_per_s"] for r in results), 4)],
        "control_cpu_s_median": round(statistics.median(r["control_cpu_s"] for r in results), 4),
        "added_cpu_per_s_median": round(statistics.median(r["added_cpu_per_s"] for r in results), 4),
        "added_cpu_per_s_range": [round(min(r["added_cpu_per_s"] for r in results), 4),
                                  round(max(r["added_cpu_per_s"] for r in results), 4)],
        "lost": sum(r["lost"] for r in results), "spurious": sum(r["spurious"] for r in results),
        "ended": max(r["ended"] for r in results),
    }))


if __name__ == "__main__":
    main()
