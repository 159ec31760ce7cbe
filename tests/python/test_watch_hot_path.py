"""The worker's way into Python: one thread state for its whole life, not one per event."""
import threading

import pytest

import quorvel
from test_watch_support import Recorder, session, touch, wait_for  # noqa: F401 (fixture)

pytestmark = pytest.mark.asan  # also run against the AddressSanitizer build


def test_a_thousand_events_cost_the_worker_one_thread_state(session, tmp_path):
    # threading.local data lives in the Python thread state: a fresh state per event would find it empty.
    local = threading.local()
    states = [0]
    recorder = Recorder()

    def handler(*args):
        if not getattr(local, "seen", False):
            local.seen = True
            states[0] += 1
        recorder(*args)

    assert quorvel.start_fs_watch(handler)
    session.add(tmp_path, flags=quorvel.CREATE)
    session.armed(tmp_path, recorder)
    for i in range(1000):
        touch(tmp_path / f"f{i}")
    assert recorder.wait(quorvel.CREATE, tmp_path / "f999")
    assert len(recorder.events) >= 1000
    assert states[0] == 1


def test_actions_reach_the_handler_without_a_call_of_the_enum_class(session, tmp_path, monkeypatch):
    import enum

    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    session.add(tmp_path, flags=quorvel.CREATE)
    session.armed(tmp_path, recorder)
    calls = [0]
    original = enum.EnumType.__call__

    def counting(cls, *args, **kwargs):
        if cls is quorvel.FsWatchAction:
            calls[0] += 1
        return original(cls, *args, **kwargs)

    monkeypatch.setattr(enum.EnumType, "__call__", counting)
    for i in range(100):
        touch(tmp_path / f"g{i}")
    assert recorder.wait(quorvel.CREATE, tmp_path / "g99")
    assert all(type(e[1]) is quorvel.FsWatchAction for e in recorder.events)
    assert calls[0] == 0
