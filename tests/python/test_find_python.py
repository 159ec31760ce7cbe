"""Set-up and the build find CPython 3.13 wherever it lives: PY313, python3.13 on PATH, pyenv's newest 3.13.x."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def put(path, target=sys.executable, text=None):
    """A link to this interpreter, or a shell script when `text` is given."""
    path.parent.mkdir(parents=True, exist_ok=True)
    if text is None:
        path.symlink_to(target)
    else:
        path.write_text("#!/bin/sh\n" + text)
        path.chmod(0o755)
    return path


def run(tmp_path, command, *path):
    """No PY313 or PYENV_ROOT, a HOME of its own: only what the test put in place can be found."""
    env = {k: v for k, v in os.environ.items() if k not in ("PY313", "PYENV_ROOT")}
    env.update(HOME=str(tmp_path / "home"), PATH=os.pathsep.join(map(str, path)))
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("case", ["path", "shim_then_newest_release", "pyenv_root", "none"])
def test_the_finder_looks_on_path_then_in_pyenv(tmp_path, case):
    tools = tmp_path / "tools"  # what the finder runs besides the interpreter, and no python3.13
    for tool in ["ls", "grep", "sort"]:
        put(tools / tool, shutil.which(tool))
    bin_dir, pyenv, other = tmp_path / "bin", tmp_path / "home" / ".pyenv" / "versions", tmp_path / "other"
    expected = None
    if case == "path":
        expected = put(bin_dir / "python3.13")
        put(pyenv / "3.13.9" / "bin" / "python3.13")
    elif case == "shim_then_newest_release":
        put(bin_dir / "python3.13", text="echo 'pyenv: python3.13: command not found' >&2; exit 127\n")
        for version in ["3.13.2", "3.13.11t", "3.13-dev", "3.14.0", "3.10.13"]:
            put(pyenv / version / "bin" / "python3.13")
        expected = put(pyenv / "3.13.10" / "bin" / "python3.13")
    elif case == "pyenv_root":
        put(bin_dir / "pyenv", text=f'[ "$1" = root ] && echo "{other}"\n')
        put(pyenv / "3.13.9" / "bin" / "python3.13")
        expected = put(other / "versions" / "3.13.1" / "bin" / "python3.13")
    result = run(tmp_path, ["/bin/bash", str(ROOT / "scripts" / "find-python.sh")], bin_dir, tools)
    if expected is None:
        assert result.returncode != 0 and "CPython 3.13 not found" in result.stderr
    else:
        assert (result.returncode, result.stdout) == (0, f"{expected}\n"), result.stderr


def test_setup_and_the_build_configure_with_python_only_on_path(tmp_path):
    python = put(tmp_path / "bin" / "python3.13")
    system = [python.parent, "/usr/local/bin", "/usr/bin", "/bin"]
    setup = run(tmp_path, ["bash", str(ROOT / "scripts" / "setup.sh")], *system)
    assert setup.returncode == 0 and f"CPython 3.13: {python}" in setup.stdout, setup.stderr
    # Configure only: the module's step asks this interpreter for its headers.
    build = tmp_path / "build"
    configure = run(tmp_path, ["cmake", "-G", "Ninja", "-S", str(ROOT), "-B", str(build), "-DQUORVEL_BUILD_TESTS=OFF",
                               "-DQUORVEL_BUILD_BENCH=OFF"], *system)
    assert configure.returncode == 0, configure.stdout + configure.stderr
    assert f"QUORVEL_PYTHON:FILEPATH={python}\n" in (build / "CMakeCache.txt").read_text()
