"""Folders made under a watch and filled at once, as save tools do: what reaches the handler does not depend on how
soon the new folder was watched."""
import os

import pytest

import quorvel
from test_watch_support import Recorder, session, wait_for, watch_filter  # noqa: F401 (fixture)

pytestmark = pytest.mark.asan


def test_a_file_written_right_after_its_folder_is_made_is_reported_created_and_modified(session, tmp_path):
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    every_action = quorvel.CREATE | quorvel.MODIFY | quorvel.DELETE | quorvel.RENAME
    os.mkdir(tmp_path / "probes")  # a depth of 1 reports nothing at the top
    assert session.add(tmp_path, filters=[watch_filter(depth=1)], flags=every_action)
    session.armed(tmp_path / "probes", recorder)
    files = []
    for i in range(200):
        folder = tmp_path / f"save-{i}"
        os.makedirs(folder)
        files.append(str(folder / "slot.dat"))
        with open(files[-1], "wb") as f:
            f.write(b"x" * 100)

    def missing(action):
        seen = {e[2] for e in recorder.events if e[1] == action}
        return [name for name in files if name not in seen]

    wait_for(lambda: not missing(quorvel.CREATE) and not missing(quorvel.MODIFY))
    assert not missing(quorvel.CREATE)
    lost = missing(quorvel.MODIFY)
    assert not lost, f"{len(lost)} of {len(files)} writes not reported, e.g. {lost[:3]}"
