"""Finding CPython 3.13 for set-up and the build on a machine where it lives anywhere: $PY313, python3.13 on PATH,
pyenv's newest 3.13.x; never a fixed path."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
FINDER = ROOT / "scripts" / "find-python.sh"


def script(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("#!/bin/sh\n" + text)
    path.chmod(0o755)
    return path


def link(path):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.symlink_to(sys.executable)
    return path


def plain_env(tmp_path, path):
    """No PY313, no PYENV_ROOT, a HOME of its own: only what the case puts in place can be found."""
    env = {k: v for k, v in os.environ.items() if k not in ("PY313", "PYENV_ROOT")}
    env.update(HOME=str(tmp_path / "home"), PATH=os.pathsep.join(str(p) for p in path))
    return env


def pyenv_version(root, version):
    return link(root / "versions" / version / "bin" / "python3.13")


@pytest.mark.parametrize("case", ["path", "shim_then_newest_release", "pyenv_root", "py313", "py313_not_313",
                                  "none"])
def test_the_finder_takes_each_place_in_its_order(tmp_path, case):
    tools = tmp_path / "tools"  # what the finder runs besides the interpreter, and no python3.13
    tools.mkdir()
    for tool in ["ls", "grep", "sort"]:
        (tools / tool).symlink_to(shutil.which(tool))
    bin_dir = tmp_path / "bin"
    home_pyenv = tmp_path / "home" / ".pyenv"
    env = plain_env(tmp_path, [bin_dir, tools])
    expected = None
    if case == "path":
        expected = link(bin_dir / "python3.13")
        pyenv_version(home_pyenv, "3.13.9")
    elif case == "shim_then_newest_release":
        script(bin_dir / "python3.13", "echo 'pyenv: python3.13: command not found' >&2; exit 127\n")
        for version in ["3.13.2", "3.13.11t", "3.13-dev", "3.14.0", "3.12.1"]:
            pyenv_version(home_pyenv, version)
        expected = pyenv_version(home_pyenv, "3.13.10")
    elif case == "pyenv_root":
        other_root = tmp_path / "elsewhere"
        script(bin_dir / "pyenv", f'[ "$1" = root ] && echo "{other_root}"\n')
        pyenv_version(home_pyenv, "3.13.9")
        expected = pyenv_version(other_root, "3.13.1")
    elif case == "py313":
        link(bin_dir / "python3.13")
        expected = env["PY313"] = str(link(tmp_path / "mine" / "python"))
    elif case == "py313_not_313":
        link(bin_dir / "python3.13")
        env["PY313"] = str(script(tmp_path / "mine" / "python", "exit 1\n"))
    result = subprocess.run(["/bin/bash", str(FINDER)], env=env, capture_output=True, text=True, timeout=60)
    if expected is None:
        assert result.returncode != 0 and result.stdout == ""
        assert "CPython 3.13 not found" in result.stderr
    else:
        assert (result.returncode, result.stdout) == (0, f"{expected}\n"), result.stderr


def test_setup_and_the_build_configure_with_python_only_on_path(tmp_path):
    """scripts/setup.sh and a CMake configure (the module's step asks the interpreter for its headers) with no
    PY313 and no pyenv: the interpreter is reached through a symlink on PATH."""
    python = link(tmp_path / "bin" / "python3.13")
    env = plain_env(tmp_path, [python.parent, "/usr/local/bin", "/usr/bin", "/bin"])
    setup = subprocess.run(["bash", str(ROOT / "scripts" / "setup.sh")], env=env, capture_output=True, text=True,
                           timeout=600)
    assert setup.returncode == 0, setup.stderr
    assert f"CPython 3.13: {python}" in setup.stdout
    build = tmp_path / "build"
    configure = subprocess.run(["cmake", "-G", "Ninja", "-S", str(ROOT), "-B", str(build),
                                "-DQUORVEL_BUILD_TESTS=OFF", "-DQUORVEL_BUILD_BENCH=OFF"],
                               env=env, capture_output=True, text=True, timeout=300)
    assert configure.returncode == 0, configure.stdout + configure.stderr
    cache = (build / "CMakeCache.txt").read_text()
    assert f"QUORVEL_PYTHON:FILEPATH={python}\n" in cache
