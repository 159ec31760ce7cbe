"""add_fs_watch / remove_fs_watch: what a watch covers, what is refused, and argument conversion."""
import logging
import os

import pytest

import quorvel
from test_watch_support import Recorder, session, touch, wait_for, watch_filter  # noqa: F401 (fixture)

pytestmark = pytest.mark.asan  # also run against the AddressSanitizer build

ALL = quorvel.CREATE | quorvel.MODIFY | quorvel.DELETE | quorvel.RENAME


def test_depth_filters_choose_the_levels_reported(session, tmp_path):
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    (tmp_path / "sub" / "deeper").mkdir(parents=True)
    flat = session.add(tmp_path, [watch_filter("*.txt", 0)])
    level1 = session.add(tmp_path, [watch_filter("*.txt", 1)])
    every = session.add(tmp_path, [watch_filter("*.txt", -1)])
    assert len({flat, level1, every}) == 3
    session.armed(tmp_path, recorder, ".txt", flat)
    session.armed(tmp_path / "sub", recorder, ".txt", level1)
    session.armed(tmp_path, recorder, ".txt", every)
    recorder.calls.clear()
    touch(tmp_path / "sub" / "deeper" / "c.txt")
    touch(tmp_path / "sub" / "b.txt")
    touch(tmp_path / "a.txt")
    assert wait_for(lambda: sum(1 for e in recorder.events if e[0] == every and e[1] == quorvel.CREATE) == 3)
    touch(tmp_path / "marker.txt")
    touch(tmp_path / "sub" / "marker.txt")
    assert wait_for(lambda: sum(1 for e in recorder.events if "marker" in e[2] and e[1] == quorvel.CREATE) == 4)
    assert wait_for(lambda: any(e[0] == flat for e in recorder.events))
    assert wait_for(lambda: any(e[0] == level1 for e in recorder.events))
    by_watch = {w: {e[2] for e in recorder.events if e[0] == w and e[1] == quorvel.CREATE} for w in (flat, level1)}
    assert by_watch[flat] == {str(tmp_path / "a.txt"), str(tmp_path / "marker.txt")}
    assert by_watch[level1] == {str(tmp_path / "sub" / "b.txt"), str(tmp_path / "sub" / "marker.txt")}


def test_file_only_reports_files_but_not_directories_or_removals(session, tmp_path):
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    watch_id = session.add(tmp_path, file_only=True)
    session.armed(tmp_path, recorder)
    (tmp_path / "newdir").mkdir()
    touch(tmp_path / "f")
    os.remove(tmp_path / "f")
    touch(tmp_path / "g")
    assert recorder.wait(quorvel.CREATE, tmp_path / "g")
    mine = [e for e in recorder.events if e[0] == watch_id and ".probe" not in e[2]]
    assert all(e[2] != str(tmp_path / "newdir") for e in mine)
    assert all(e[1] != quorvel.DELETE for e in mine)


def test_two_watches_on_one_directory_each_report_the_change_once(session, tmp_path):
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    first, second = session.add(tmp_path, flags=quorvel.CREATE), session.add(tmp_path, flags=quorvel.CREATE)
    assert first and second and first != second
    session.armed(tmp_path, recorder, watch_id=first)
    session.armed(tmp_path, recorder, watch_id=second)
    touch(tmp_path / "once")
    touch(tmp_path / "marker")
    assert wait_for(lambda: sum(1 for e in recorder.events if e[2] == str(tmp_path / "marker")) == 2)
    once = [e[0] for e in recorder.events if e[2] == str(tmp_path / "once") and e[1] == quorvel.CREATE]
    assert sorted(once) == sorted([first, second])


def test_refused_and_odd_requests(session, tmp_path, caplog):
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    # Masks without a named action, and a missing directory, give 0 and raise nothing.
    assert quorvel.add_fs_watch(str(tmp_path), [watch_filter()], 1, False) == 0
    assert quorvel.add_fs_watch(str(tmp_path), [watch_filter()], 32, False) == 0
    assert quorvel.add_fs_watch(str(tmp_path / "missing"), [watch_filter()], ALL, False) == 0
    assert quorvel.add_fs_watch("", [watch_filter()], ALL, False) == 0
    # A file opens like a directory: a watch is made, and it reports nothing.
    (tmp_path / "file").write_text("x")
    file_id = session.add(tmp_path / "file")
    assert file_id != 0
    touch(tmp_path / "file")
    # MODIFY with an unnamed bit is a watch.
    assert session.add(tmp_path, flags=34) != 0
    # Removing an id that was never returned changes nothing.
    assert quorvel.remove_fs_watch(0) is None
    assert quorvel.remove_fs_watch(2**64 - 1) is None
    session.armed(tmp_path, recorder)
    assert all(e[0] != file_id for e in recorder.events)


def test_relative_directory_reports_relative_paths(session, tmp_path, monkeypatch):
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    (tmp_path / "rel").mkdir()
    monkeypatch.chdir(tmp_path)
    watch_id = session.add("rel")
    assert watch_id != 0
    session.armed("rel", recorder)
    touch(tmp_path / "rel" / "r.txt")
    assert recorder.wait(quorvel.CREATE, "rel/r.txt")


def test_removed_watch_reports_nothing_more(session, tmp_path):
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    removed = tmp_path / "removed"
    kept = tmp_path / "kept"
    removed.mkdir()
    kept.mkdir()
    removed_id = session.add(removed)
    session.add(kept)
    session.armed(removed, recorder)
    session.armed(kept, recorder)
    quorvel.remove_fs_watch(removed_id)
    quorvel.remove_fs_watch(removed_id)
    touch(removed / "late")
    touch(kept / "marker")
    assert recorder.wait(quorvel.CREATE, kept / "marker")
    assert not any("late" in e[2] for e in recorder.events)


def test_missing_directory_is_logged_from_the_watcher_source(session, tmp_path, caplog):
    quorvel.init_logging("quorvel.watch.test")
    assert quorvel.start_fs_watch(None)
    with caplog.at_level(logging.DEBUG, logger="quorvel.watch.test"):
        assert quorvel.add_fs_watch(str(tmp_path / "nope"), [watch_filter()], ALL, False) == 0
    records = [r for r in caplog.records if r.name == "quorvel.watch.test"]
    assert [r.getMessage() for r in records] == ["FsWatcher: unable to open directory " + str(tmp_path / "nope")]
    assert records[0].levelno == logging.ERROR
    assert records[0].pathname.endswith(os.path.join("fs_watcher", "fs_watcher.cpp"))


class TestConversions:
    def test_refused_arguments_raise_type_error(self, session, tmp_path):
        f = watch_filter()
        for args in [
            (b"/tmp", [f], ALL, False),           # bytes dir
            (str(tmp_path), "*", ALL, False),      # str filters
            (str(tmp_path), b"*", ALL, False),     # bytes filters
            (str(tmp_path), [f, 1], ALL, False),   # a non-filter element
            (str(tmp_path), [f], 2.0, False),      # float flags
            (str(tmp_path), [f], -1, False),       # negative flags
            (str(tmp_path), [f], 2**32, False),    # flags out of range
            (str(tmp_path), [f], ALL, "yes"),      # str file_only
            (None, [f], ALL, False),
        ]:
            with pytest.raises(TypeError):
                quorvel.add_fs_watch(*args)
        with pytest.raises(TypeError):
            quorvel.remove_fs_watch(-1)
        with pytest.raises(TypeError):
            quorvel.remove_fs_watch(1.0)
        with pytest.raises(TypeError):
            quorvel.start_fs_watch(1)
        with pytest.raises(TypeError):
            quorvel.start_fs_watch()

    def test_accepted_filter_containers_and_keywords(self, session, tmp_path):
        assert quorvel.start_fs_watch(None)
        f = watch_filter()
        for filters in ([f], (f,), {f}, (x for x in [f]), {f: 1}.keys(), map(lambda x: x, [f]), []):
            assert session.add(tmp_path, filters) != 0
        # None as file_only is False; keywords and IntEnum members as flags are accepted; True converts to 1.
        session.ids.append(quorvel.add_fs_watch(dir=str(tmp_path), filters=[f], flags=quorvel.MODIFY, file_only=None))
        assert session.ids[-1] != 0
        session.ids.append(quorvel.add_fs_watch(str(tmp_path), [f], quorvel.MODIFY | quorvel.CREATE, 0))
        assert session.ids[-1] != 0
        assert quorvel.add_fs_watch(str(tmp_path), [f], True, False) == 0  # 1 names no action
        quorvel.remove_fs_watch(watch_id=session.ids[-1])

    def test_filters_are_copied(self, session, tmp_path):
        recorder = Recorder()
        assert quorvel.start_fs_watch(recorder)
        f = watch_filter("*.txt")
        session.add(tmp_path, [f])
        session.armed(tmp_path, recorder, ".txt")
        f.pattern = "*.never"
        touch(tmp_path / "copied.txt")
        assert recorder.wait(quorvel.CREATE, tmp_path / "copied.txt")
