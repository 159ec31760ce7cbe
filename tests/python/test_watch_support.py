"""Shared pieces of the watch tests: a started watcher that records its events, and deadline-bounded waits.

The watcher is process-wide, so every test that uses it stops it and removes its watches afterwards.
"""
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import quorvel
from watch_helpers import DEADLINE, child_env, touch, wait_for, watch_filter  # noqa: F401 (re-exported)


def run_child(code):
    """Runs `code` in a child interpreter: it passes by exiting 0, and skips the test by exiting 77 with the reason."""
    try:
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=child_env(), timeout=60,
                                capture_output=True, text=True)
    except subprocess.TimeoutExpired as e:
        raise AssertionError(f"child hung: stdout={e.stdout!r} stderr={e.stderr!r}")
    if result.returncode == 77:
        pytest.skip(result.stdout.strip())
    assert result.returncode == 0, f"stdout={result.stdout}\nstderr={result.stderr}"


class Recorder:
    """A handler that keeps every call; thread-safe."""

    def __init__(self):
        self.calls = []
        self.lock = threading.Lock()

    def __call__(self, *args, **kwargs):
        with self.lock:
            self.calls.append((args, kwargs))

    @property
    def events(self):
        with self.lock:
            return [args for args, _ in self.calls]

    def saw(self, action, path):
        return any(e[1] == action and e[2] == str(path) for e in self.events)

    def wait(self, action, path):
        return wait_for(lambda: self.saw(action, path))


class Session:
    """Watches made in one test; all removed, and the watcher stopped, at the end."""

    def __init__(self):
        self.ids = []

    def add(self, directory, filters=None, flags=quorvel.CREATE | quorvel.MODIFY | quorvel.DELETE | quorvel.RENAME,
            file_only=False):
        watch_id = quorvel.add_fs_watch(str(directory), [watch_filter()] if filters is None else filters, flags,
                                        file_only)
        if watch_id:
            self.ids.append(watch_id)
        return watch_id

    def armed(self, directory, recorder, suffix="", watch_id=None):
        """Waits until the watch on `directory` reports: its first read is issued by the worker a moment after
        add_fs_watch returns, and changes before it are not seen. Creates new probe files (named to pass the
        watch's filters with `suffix`) until one arrives, from `watch_id` when given."""
        prefix = os.path.join(str(directory), ".probe-")
        attempt = [0]

        def arrived():
            return any(e[2].startswith(prefix) and watch_id in (None, e[0]) for e in recorder.events)

        def seen():
            attempt[0] += 1
            touch(prefix + str(attempt[0]) + suffix)
            return wait_for(arrived, 0.05)

        assert wait_for(seen), "the watch never reported"

    def close(self):
        quorvel.stop_fs_watch()
        for watch_id in self.ids:
            quorvel.remove_fs_watch(watch_id)


@pytest.fixture
def session():
    quorvel.stop_fs_watch()
    s = Session()
    yield s
    s.close()


def open_fds():
    return len(os.listdir("/proc/self/fd"))
