"""Watches a temporary directory and prints what the handler receives, with the module's own log lines routed
into Python logging."""

import logging
import os
import subprocess
import sys
import tempfile
import threading
import time

import quorvel

sys.stdout.reconfigure(line_buffering=True)
logging.basicConfig(stream=sys.stdout, level=logging.INFO, format="log   %(name)s %(levelname)s: %(message)s")
quorvel.init_logging()  # native log lines now reach the Python logger "quorvel"

events = []
seen = threading.Condition()
touring = False


def handler(watch_id, action, path, old_path):
    # Called on the watcher's worker thread.
    line = f"event {action.name:<6} {os.path.relpath(path, root)}"
    if old_path:
        line += f" (was {os.path.relpath(old_path, root)})"
    with seen:
        events.append(line)
        if touring:
            print(line)
        seen.notify_all()


def wait_until(condition, timeout=5.0):
    with seen:
        return seen.wait_for(condition, timeout)


def flt(pattern, depth):
    f = quorvel.WatchFilter()
    f.pattern = pattern
    f.recursive_depth = depth
    return f


with tempfile.TemporaryDirectory() as root:
    print(quorvel.__doc__)
    print("watching", root)
    assert quorvel.start_fs_watch(handler)
    everything = quorvel.MODIFY | quorvel.CREATE | quorvel.DELETE | quorvel.RENAME
    # *.txt directly in the directory, and anything one level down (which also turns the subtree on).
    watch_id = quorvel.add_fs_watch(root, [flt("*.txt", 0), flt("*", 1)], everything, False)
    print("watch id", watch_id)

    # The first read is armed on the worker: wait until a probe file is reported before the tour starts.
    probe = os.path.join(root, "probe.txt")
    while not wait_until(lambda: events, timeout=0.05):
        open(probe, "a").close()
    os.remove(probe)
    wait_until(lambda: any("DELETE" in e and "probe" in e for e in events))
    with seen:
        events.clear()
        touring = True

    # Another process makes the changes, as a game or a launcher would.
    script = """
import os, sys, time
root = sys.argv[1]
with open(os.path.join(root, "a.txt"), "w") as f: f.write("hello")
with open(os.path.join(root, "a.txt"), "a") as f: f.write(" world")
os.rename(os.path.join(root, "a.txt"), os.path.join(root, "b.txt"))
os.mkdir(os.path.join(root, "sub"))
with open(os.path.join(root, "sub", "c.log"), "w") as f: f.write("x")
with open(os.path.join(root, "ignored.log"), "w") as f: f.write("x")
os.remove(os.path.join(root, "b.txt"))
"""
    subprocess.run([sys.executable, "-c", script, root], check=True)
    wait_until(lambda: any("DELETE" in e and "b.txt" in e for e in events))
    time.sleep(0.2)  # let late events arrive before the watch goes

    quorvel.remove_fs_watch(watch_id)
    print("a watch on a missing directory gives", quorvel.add_fs_watch(os.path.join(root, "missing"),
                                                                         [flt("*", 0)], quorvel.CREATE, False))
    quorvel.stop_fs_watch()
    print(f"{len(events)} events; ignored.log was filtered out: {not any('ignored' in e for e in events)}")
