"""The utilities as a hostile but realistic caller meets them: another thread changing os.environ during the
calls, a FIFO or an oversized file where user-dirs.dirs should be, names no file can have (an embedded NUL, a lone
surrogate that stands for no byte), and paths in the os.fsdecode form of names that are not valid Unicode."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel
from quorvel import utils
from capture_support import games  # noqa: F401 (fixture)

pytestmark = pytest.mark.asan

FIXTURES = Path(quorvel.__file__).resolve().parent.parent / "fixtures" / "icons"
PROFILE = "{5E6C858F-0E22-4760-9AFE-EA3317B67173}"
MUSIC = "{4BD8D571-6D19-48D3-BE97-422220080E43}"

# Three threads expand and one asks for a known folder and one for a folder's icon, all without the GIL, while
# another adds and removes variables (glibc reallocates the environment as it grows).
RACE = """
import os, sys, threading, time
from quorvel import utils
end = time.monotonic() + float(sys.argv[1])
def writer():
    i = 0
    while time.monotonic() < end:
        os.environ[f"QV_RACE_{i % 4096}"] = "v" * (i % 300)
        if i % 3 == 0:
            os.environ.pop(f"QV_RACE_{i * 7 % 4096}", None)
        i += 1
def reader(call):
    while time.monotonic() < end:
        call()
calls = [lambda: utils.expand_env_path("%HOME%/%PATH%/%X%")] * 3 + [
    lambda: utils.get_known_path(sys.argv[2]), lambda: utils.extract_png_from_executable_icon(sys.argv[3], 16, 16)]
threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader, args=(c,)) for c in calls]
for t in threads: t.start()
for t in threads: t.join()
"""


def test_calls_beside_a_thread_changing_os_environ_do_not_crash(tmp_path):
    done = subprocess.run([sys.executable, "-c", RACE, "5", PROFILE, str(tmp_path)], capture_output=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]


# Each in a child process: a call that blocks for ever must fail the test, not hang the run.
@pytest.mark.parametrize("kind", ["fifo", "oversized"])
def test_a_user_dirs_file_that_is_no_small_regular_file_counts_as_absent(tmp_path, kind):
    home, config = tmp_path / "home", tmp_path / "config"
    (home / "Music").mkdir(parents=True)
    config.mkdir()
    user_dirs = config / "user-dirs.dirs"
    if kind == "fifo":
        os.mkfifo(user_dirs)
    else:  # valid, but far larger than any such file: read in part it could miss a later assignment
        user_dirs.write_text(f'XDG_MUSIC_DIR="$HOME/Music"\n#{"x" * 70000}\n')
    env = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(config))
    code = f"from quorvel import utils; print(utils.get_known_path({MUSIC!r}))"
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"{home}\n"


def test_a_name_no_file_can_have_gives_no_icon(tmp_path):
    good = tmp_path / "good.ico"
    shutil.copyfile(FIXTURES / "second.ico", good)
    (tmp_path / "f\ufffd").mkdir()
    shutil.copyfile(FIXTURES / "second.ico", tmp_path / "f\ufffd" / "x.ico")
    extract = utils.extract_png_from_executable_icon
    assert extract(str(tmp_path / "f\ufffd" / "x.ico"), 48, 48) is not None
    assert extract(str(good) + "\0junk.exe", 48, 48) is None
    assert extract(str(tmp_path / "f\ud800" / "x.ico"), 48, 48) is None  # U+D800 escapes no byte


def test_a_name_no_file_can_have_finds_no_window(games):
    games.start("Games/F\ufffd")
    found = quorvel.find_window_by_path(os.path.join(games.root, "Games/F\ufffd"))
    assert found != 0
    assert quorvel.find_window_by_path(os.path.join(games.root, "Games/F\ud800")) == 0
    assert quorvel.find_window_by_path(os.path.join(games.root, "Games/F\ufffd\0")) == 0


def test_paths_in_the_os_fsdecode_form_are_taken_and_given_back(tmp_path, monkeypatch):
    monkeypatch.setenv("QV_DIR", "/srv")
    assert utils.expand_env_path("%QV_DIR%/\udcff") == "/srv/\udcff"
    assert utils.get_known_path("\udcff") == ""
    home = os.fsencode(tmp_path) + b"/h\xffme"
    os.mkdir(home)
    monkeypatch.setitem(os.environb, b"HOME", home)
    assert utils.get_known_path(PROFILE) == os.fsdecode(home)
