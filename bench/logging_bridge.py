"""Cost of native log lines handed to Python `logging` by init_logging, against plain Python logging calls.

Figures only. The native line is the watcher's error for a directory that cannot be opened, logged inside
`add_fs_watch` on the calling thread; its cost includes the binding and the failed open, so the same call with
the line refused by Python's level is measured too, and the difference between the two is what handing a wanted
record to a handler adds.

    PYTHONPATH=build/release/python python3.13 bench/logging_bridge.py [records]
"""

import logging
import os
import sys
import tempfile
import time

import quorvel


class Count(logging.Handler):
    def __init__(self):
        super().__init__()
        self.count = 0

    def emit(self, record):
        self.count += 1


def per_call_ns(call, n, repeats=5):
    best = None
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(n):
            call()
        elapsed = (time.perf_counter_ns() - start) / n
        best = elapsed if best is None else min(best, elapsed)
    return best


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    logger = logging.getLogger("bench.bridge")
    logger.propagate = False
    handler = Count()
    logger.addHandler(handler)
    quorvel.init_logging("bench.bridge")
    assert quorvel.start_fs_watch(None)  # add_fs_watch refuses to work without a running watcher

    f = quorvel.WatchFilter()
    f.pattern = "*"
    missing = os.path.join(tempfile.gettempdir(), "quorvel-bench-missing", "dir")
    message = f"FsWatcher: unable to open directory {missing}"

    def native():
        quorvel.add_fs_watch(missing, [f], 2, False)

    def plain():
        logger.error(message)

    def plain_formatted():
        logger.error("FsWatcher: unable to open directory %s", missing)

    def native_no_line():
        quorvel.add_fs_watch("", [f], 2, False)  # refused before any file system call or log line

    rows = []
    for label, level in (("delivered to a handler", logging.DEBUG), ("refused by level", logging.CRITICAL)):
        logger.setLevel(level)
        before = handler.count
        native_ns = per_call_ns(native, n)
        assert (handler.count > before) == (level == logging.DEBUG)
        plain_ns = per_call_ns(plain, n)
        formatted_ns = per_call_ns(plain_formatted, n)
        rows.append((label, native_ns, plain_ns, formatted_ns))
    no_line_ns = per_call_ns(native_no_line, n)
    quorvel.stop_fs_watch()

    print(f"records per run: {n}, best of 5, ns per call")
    print(f"{'record':<24}{'add_fs_watch + bridge':>24}{'logger.error(msg)':>20}{'logger.error(%s, arg)':>24}")
    for label, native_ns, plain_ns, formatted_ns in rows:
        print(f"{label:<24}{native_ns:>24.0f}{plain_ns:>20.0f}{formatted_ns:>24.0f}")
    print(f"{'add_fs_watch(\'\') without any line':<48}{no_line_ns:>8.0f}")
    delivered, refused = rows
    print(f"handing a wanted record over (native delivered - native refused): {delivered[1] - refused[1]:.0f} ns;"
          f" Python's own (plain delivered - plain refused): {delivered[2] - refused[2]:.0f} ns")


if __name__ == "__main__":
    main()
