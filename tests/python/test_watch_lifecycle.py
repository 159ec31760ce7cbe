"""start_fs_watch / stop_fs_watch and the handler slot, on real directories."""
import os

import pytest

import quorvel
from test_watch_support import Recorder, session, touch, wait_for, watch_filter  # noqa: F401 (fixture)

pytestmark = pytest.mark.asan  # also run against the AddressSanitizer build


def test_second_start_returns_false_and_keeps_the_first_handler(session, tmp_path):
    first, second = Recorder(), Recorder()
    assert quorvel.start_fs_watch(first) is True
    assert quorvel.start_fs_watch(second) is False
    session.add(tmp_path)
    session.armed(tmp_path, first)
    touch(tmp_path / "a.txt")
    assert first.wait(quorvel.CREATE, tmp_path / "a.txt")
    assert second.events == []


def test_stop_then_start_with_a_new_handler_delivers_to_the_new_one(session, tmp_path):
    first, second = Recorder(), Recorder()
    assert quorvel.start_fs_watch(first)
    old_dir = tmp_path / "old"
    old_dir.mkdir()
    session.add(old_dir)
    session.armed(old_dir, first)
    assert quorvel.stop_fs_watch() is None
    assert quorvel.start_fs_watch(second) is True
    new_dir = tmp_path / "new"
    new_dir.mkdir()
    session.add(new_dir)
    session.armed(new_dir, second)
    touch(new_dir / "b")
    touch(old_dir / "unseen")
    assert second.wait(quorvel.CREATE, new_dir / "b")
    # Watches made before the stop stay silent; the first handler is no longer called.
    touch(new_dir / "marker")
    assert second.wait(quorvel.CREATE, new_dir / "marker")
    assert not any("unseen" in e[2] for e in first.events + second.events)
    assert not any(e[2].startswith(str(new_dir)) for e in first.events)


def test_start_with_none_runs_the_watcher_and_drops_every_event(session, tmp_path):
    assert quorvel.start_fs_watch(None) is True
    assert session.add(tmp_path) != 0
    touch(tmp_path / "dropped")
    # Replacing the empty handler needs a stop; after it, a new watch reports to the new handler.
    quorvel.stop_fs_watch()
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    other = tmp_path / "other"
    other.mkdir()
    session.add(other)
    session.armed(other, recorder)
    assert not any("dropped" in e[2] for e in recorder.events)


def test_stop_without_start_does_nothing():
    quorvel.stop_fs_watch()
    assert quorvel.stop_fs_watch() is None


def test_handler_gets_exactly_four_positional_arguments_and_its_result_is_ignored(session, tmp_path):
    class Handler(Recorder):
        def __call__(self, *args, **kwargs):
            super().__call__(*args, **kwargs)
            return "ignored"

    handler = Handler()
    assert quorvel.start_fs_watch(handler)
    watch_id = session.add(tmp_path)
    assert watch_id > 0
    session.armed(tmp_path, handler)
    touch(tmp_path / "x")
    os.rename(tmp_path / "x", tmp_path / "y")
    assert wait_for(lambda: any(e[1] == quorvel.RENAME for e in handler.events))
    with handler.lock:
        calls = list(handler.calls)
    for args, kwargs in calls:
        assert kwargs == {}
        assert len(args) == 4
        assert type(args[0]) is int and args[0] == watch_id
        assert type(args[1]) is quorvel.FsWatchAction
        assert type(args[2]) is str and type(args[3]) is str
        if args[1] == quorvel.RENAME:
            assert (args[2], args[3]) == (str(tmp_path / "y"), str(tmp_path / "x"))
        else:
            assert args[3] == ""


def test_a_watch_requested_while_the_watcher_is_stopped_is_refused(tmp_path):
    quorvel.stop_fs_watch()
    assert quorvel.add_fs_watch(str(tmp_path), [watch_filter()], quorvel.CREATE, False) == 0
    assert quorvel.start_fs_watch(None)
    quorvel.stop_fs_watch()
    assert quorvel.add_fs_watch(str(tmp_path), [watch_filter()], quorvel.CREATE, False) == 0


def test_start_and_stop_release_their_handler(session, tmp_path):
    import gc
    import weakref

    class Handler:
        def __call__(self, *args):
            pass

    handler = Handler()
    ref = weakref.ref(handler)
    assert quorvel.start_fs_watch(handler)
    del handler
    gc.collect()
    assert ref() is not None  # the slot holds it
    quorvel.stop_fs_watch()
    gc.collect()
    assert ref() is None
