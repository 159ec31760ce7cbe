"""The utilities as a hostile but realistic caller meets them: another thread changing os.environ during calls,
a FIFO or an oversized file as user-dirs.dirs, names no file can have, and paths in the os.fsdecode form."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel
from quorvel import utils

pytestmark = pytest.mark.asan

FIXTURES = Path(quorvel.__file__).resolve().parent.parent / "fixtures" / "icons"
PROFILE = "{5E6C858F-0E22-4760-9AFE-EA3317B67173}"
MUSIC = "{4BD8D571-6D19-48D3-BE97-422220080E43}"

# Calls without the GIL while a thread adds and removes variables (glibc reallocates the environment as it grows).
RACE = """
import os, sys, threading, time
from quorvel import utils
end = time.monotonic() + 5
def writer():
    for i in iter(int, 1):
        if time.monotonic() > end: return
        os.environ[f"QV_RACE_{i % 4096}"] = "v" * (i % 300)
        os.environ.pop(f"QV_RACE_{i * 7 % 4096}", None)
def reader(call):
    while time.monotonic() < end: call()
calls = [lambda: utils.expand_env_path("%HOME%/%PATH%/%X%")] * 3 + [
    lambda: utils.get_known_path(sys.argv[1]), lambda: utils.extract_png_from_executable_icon("/tmp", 16, 16)]
threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader, args=(c,)) for c in calls]
for t in threads: t.start()
for t in threads: t.join()
"""


def test_calls_beside_a_thread_changing_os_environ_do_not_crash():
    done = subprocess.run([sys.executable, "-c", RACE, PROFILE], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]


@pytest.mark.parametrize("kind", ["fifo", "oversized"])
def test_a_user_dirs_file_that_is_no_small_regular_file_counts_as_absent(tmp_path, kind):
    home, config = tmp_path / "home", tmp_path / "config"
    (home / "Music").mkdir(parents=True)
    config.mkdir()
    if kind == "fifo":
        os.mkfifo(config / "user-dirs.dirs")
    else:  # read in part, it could miss a later assignment
        (config / "user-dirs.dirs").write_text(f'XDG_MUSIC_DIR="$HOME/Music"\n#{"x" * 70000}\n')
    env = dict(os.environ, HOME=str(home), XDG_CONFIG_HOME=str(config))
    code = f"from quorvel import utils; print(utils.get_known_path({MUSIC!r}))"  # a hang must not hang the run
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=30)
    assert (done.returncode, done.stdout) == (0, f"{home}\n"), done.stderr


def test_names_no_file_can_have_name_nothing_and_fsdecode_paths_go_both_ways(tmp_path, monkeypatch):
    (tmp_path / "f\ufffd").mkdir()
    shutil.copyfile(FIXTURES / "second.ico", tmp_path / "f\ufffd" / "x.ico")
    extract = utils.extract_png_from_executable_icon
    assert extract(str(tmp_path / "f\ufffd" / "x.ico"), 48, 48) is not None
    assert extract(str(tmp_path / "f\ufffd" / "x.ico") + "\0.exe", 48, 48) is None
    assert extract(str(tmp_path / "f\ud800" / "x.ico"), 48, 48) is None  # U+D800 stands for no byte
    monkeypatch.setenv("QV_DIR", "/srv")
    assert utils.expand_env_path("%QV_DIR%/\udcff") == "/srv/\udcff"
    assert utils.get_known_path("\udcff") == ""
    home = os.fsencode(tmp_path) + b"/h\xffme"
    os.mkdir(home)
    monkeypatch.setitem(os.environb, b"HOME", home)
    assert utils.get_known_path(PROFILE) == os.fsdecode(home)
