"""The watch tests' helpers that need no pytest, so that the child interpreters of the fault tests import them
without paying for pytest's import."""
import os
import sys
import time

import quorvel

DEADLINE = 10.0


def wait_for(condition, timeout=DEADLINE):
    """Polls `condition` until it is true; False after `timeout` seconds."""
    end = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.005)
    return True


def watch_filter(pattern="*", depth=0):
    f = quorvel.WatchFilter()
    f.pattern = pattern
    f.recursive_depth = depth
    return f


def touch(path, text="x"):
    with open(path, "a") as f:
        f.write(text)


def child_env():
    """This environment with this interpreter's module path, for a child interpreter."""
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
