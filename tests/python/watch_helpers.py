"""The watch tests' helpers that need no pytest, so that the child interpreters of the fault tests import them
without paying for pytest's import."""
import logging
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


def enter_user_namespace():
    """Makes this process root of a new user namespace, mapped to its own user and group."""
    uid, gid = os.getuid(), os.getgid()
    os.unshare(os.CLONE_NEWUSER)
    for name, text in (("setgroups", "deny"), ("uid_map", f"0 {uid} 1"), ("gid_map", f"0 {gid} 1")):
        with open(f"/proc/self/{name}", "w") as f:
            f.write(text)


def collect_log(name):
    """The messages the module logs from now on, bridged to the logger `name`."""
    lines = []
    handler = logging.Handler()
    handler.emit = lambda record: lines.append(record.getMessage())
    logging.getLogger(name).addHandler(handler)
    quorvel.init_logging(name)
    return lines
