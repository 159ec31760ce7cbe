"""Importing the module: version check, multi-phase steps, the per-interpreter cache, sub-interpreters."""

import glob
import importlib
import importlib.machinery
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest



def find_python312():
    """$PY312, else python3.12 on PATH, else pyenv's newest 3.12.x: the first that runs as 3.12 (a pyenv shim with no
    3.12 selected does not)."""
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    releases = glob.glob(os.path.join(root, "versions", "3.12.*", "bin", "python3.12"))
    releases = [r for r in releases if re.search(r"/3\.12\.\d+/", r)]
    releases.sort(key=lambda r: int(re.search(r"/3\.12\.(\d+)/", r).group(1)), reverse=True)
    for candidate in [os.environ.get("PY312"), shutil.which("python3.12"), *releases]:
        if candidate and subprocess.run([candidate, "-c", "import sys; sys.exit(sys.version_info[:2] != (3, 12))"],
                                        capture_output=True).returncode == 0:
            return candidate
    return None


PY312 = find_python312()
DOC = "Disk mounting helper library bindings for python"
MISMATCH = "Python version mismatch: module was compiled for Python 3.13, but the interpreter version is incompatible: {}."


def run_python(executable, code, path="", timeout=60):
    result = subprocess.run([executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout, env={**os.environ, "PYTHONPATH": path})
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_module_doc_and_public_names_in_registration_order(quorvel):
    assert quorvel.__doc__ == DOC
    expected = ["init_logging", "WindowRect", "WindowScreenshot", "find_window_by_path", "capture_window",
                "FsWatchAction", "MODIFY", "CREATE", "DELETE", "RENAME", "WatchFilter", "start_fs_watch",
                "stop_fs_watch", "add_fs_watch", "remove_fs_watch", "utils"]
    present = [name for name in vars(quorvel) if name in expected]
    assert present == [name for name in expected if name in present]
    for name in ["WindowRect", "WindowScreenshot", "FsWatchAction", "WatchFilter", "utils"]:
        assert name in present


def test_utils_submodule(quorvel):
    import quorvel.utils

    assert sys.modules["quorvel.utils"] is quorvel.utils
    assert quorvel.utils.__name__ == "quorvel.utils"
    assert quorvel.utils.__file__ == quorvel.__file__
    assert quorvel.utils.__doc__ is None


def test_reimport_after_removal_and_reload_give_the_same_module(quorvel):
    classes = (quorvel.WindowRect, quorvel.WindowScreenshot, quorvel.WatchFilter, quorvel.FsWatchAction)
    functions = {name: getattr(quorvel, name) for name in vars(quorvel) if callable(getattr(quorvel, name))}
    try:
        del sys.modules["quorvel"]
        again = importlib.import_module("quorvel")
        assert again is quorvel
        reloaded = importlib.reload(quorvel)
        assert reloaded is quorvel
    finally:
        sys.modules["quorvel"] = quorvel
    assert (quorvel.WindowRect, quorvel.WindowScreenshot, quorvel.WatchFilter, quorvel.FsWatchAction) == classes
    assert quorvel.MODIFY is quorvel.FsWatchAction.MODIFY
    for name, function in functions.items():
        assert getattr(quorvel, name) is function, name
    # Nothing registered twice: a second registration would have chained overloads onto the functions.
    for function in functions.values():
        if hasattr(function, "__doc__") and function.__doc__:
            assert "Overloaded function" not in function.__doc__


def test_failed_exec_step_raises_import_error_with_cause_and_caches_nothing(quorvel):
    # In a fresh interpreter, where nothing is cached yet, the exec step of a module without __spec__ cannot
    # read its name. Nothing is cached then: the next attempt gets a new module and registers from the start.
    out = run_python(sys.executable, f"""
        import importlib.machinery, importlib.util
        path = {quorvel.__file__!r}
        loader = importlib.machinery.ExtensionFileLoader("quorvel", path)
        spec = importlib.util.spec_from_file_location("quorvel", path, loader=loader)
        failed = loader.create_module(spec)
        try:
            loader.exec_module(failed)
        except ImportError as e:
            print(repr(str(e)), type(e.__cause__).__name__, e.__context__ is e.__cause__)
        print(hasattr(failed, "WindowRect"))
        second = importlib.util.module_from_spec(spec)
        print(second is not failed)
        loader.exec_module(second)
        print(second.__doc__, hasattr(second, "WindowRect"))
        import quorvel
        print(quorvel is second)
        """, path=os.path.dirname(quorvel.__file__))
    assert out.splitlines() == ["'initialization failed' AttributeError True", "False", "True", f"{DOC} True",
                                "True"]


@pytest.mark.skipif(PY312 is None, reason="CPython 3.12 is not installed")
@pytest.mark.parametrize("how", ["init_function", "import_machinery"])
def test_other_interpreter_version_is_refused(quorvel, how):
    code = {
        "init_function": f"""
            import ctypes, os, sys
            init = ctypes.PyDLL({quorvel.__file__!r}, mode=os.RTLD_LAZY).PyInit_quorvel
            init.restype = ctypes.py_object
            try:
                init()
            except ImportError as e:
                print(str(e)); print(sys.version)
            """,
        "import_machinery": f"""
            import importlib.machinery, importlib.util, os, sys
            sys.setdlopenflags(os.RTLD_LAZY | os.RTLD_GLOBAL)
            path = {quorvel.__file__!r}
            spec = importlib.util.spec_from_file_location(
                "quorvel", path, loader=importlib.machinery.ExtensionFileLoader("quorvel", path))
            try:
                importlib.util.module_from_spec(spec)
            except ImportError as e:
                print(str(e)); print(sys.version)
            """,
    }[how]
    message, version = run_python(PY312, code).splitlines()
    assert version.startswith("3.12.")
    assert message == MISMATCH.format(version)


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_sub_interpreter_import_is_refused(quorvel, tmp_path, config):
    result = tmp_path / "result.txt"
    out = run_python(sys.executable, f"""
        import _interpreters
        script = '''
        import sys
        sys.path.insert(0, {os.path.dirname(quorvel.__file__)!r})
        try:
            import quorvel
            outcome = "imported"
        except ImportError as e:
            outcome = "ImportError: " + str(e)
        with open({str(result)!r}, "w") as f:
            f.write(outcome)
        '''
        interp = _interpreters.create(_interpreters.new_config({config!r}))
        print(_interpreters.run_string(interp, script))
        _interpreters.destroy(interp)
        import quorvel  # the main interpreter still imports it afterwards
        print(quorvel.WindowRect().x)
        """, path=os.path.dirname(quorvel.__file__))
    assert out.splitlines() == ["None", "0"]
    assert result.read_text() == "ImportError: module quorvel does not support loading in subinterpreters"
