"""Native log lines handed to Python `logging` by init_logging, observed through the watcher's own lines."""

import logging
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import quorvel
from watch_helpers import child_env, wait_for, watch_filter

pytestmark = pytest.mark.asan

needs_watcher = pytest.mark.skipif(not hasattr(quorvel, "add_fs_watch"), reason="the watch bindings are not built")

MISSING_LINE = "FsWatcher: unable to open directory {}"


class Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []

    def emit(self, record):
        self.records.append(record)

    def messages(self):
        return [r.getMessage() for r in self.records]


@pytest.fixture
def python_logger():
    """Configures Python loggers for one test and puts them back afterwards."""
    touched = {}

    def make(name, level=logging.DEBUG):
        logger = logging.getLogger(name)
        if name not in touched:
            touched[name] = (logger.level, logger.handlers[:], logger.filters[:], logger.propagate)
        logger.handlers[:] = []
        logger.filters[:] = []
        logger.setLevel(level)
        logger.propagate = False
        handler = Collect()
        logger.addHandler(handler)
        return logger, handler

    yield make
    for name, (level, handlers, filters, propagate) in touched.items():
        logger = logging.getLogger(name)
        logger.__dict__.pop("makeRecord", None)
        logger.setLevel(level)
        logger.handlers[:] = handlers
        logger.filters[:] = filters
        logger.propagate = propagate


@pytest.fixture
def watcher():
    """A running watcher: the watch functions refuse to add watches without one. Yields the events it reports."""
    events = []
    assert quorvel.start_fs_watch(lambda *event: events.append(event))
    yield events
    quorvel.stop_fs_watch()


def log_missing(path):
    """One error line, logged on this thread inside add_fs_watch."""
    assert quorvel.add_fs_watch(path, [watch_filter()], 2, False) == 0


CHILD_PRELUDE = """
import atexit, logging, os, sys, time
import quorvel
from watch_helpers import watch_filter

seen = []  # what a Collect handler receives


class Collect(logging.Handler):
    def emit(self, record):
        seen.append(record)
"""


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=child_env())


@needs_watcher
def test_before_init_logging_lines_go_to_the_console_logger_and_not_to_python(tmp_path):
    missing = str(tmp_path / "missing")
    result = run_python(f"""
        logging.getLogger().addHandler(Collect())
        logging.getLogger().setLevel(logging.DEBUG)
        f = watch_filter()
        assert quorvel.start_fs_watch(lambda *event: None)
        assert quorvel.add_fs_watch({missing!r}, [f], 2, False) == 0
        quorvel.stop_fs_watch()
        print("python records:", len(seen), flush=True)
    """)
    assert result.returncode == 0, result.stderr
    assert "python records: 0" in result.stdout
    # spdlog's built-in logger writes to standard output, with its own pattern.
    console = [line for line in result.stdout.splitlines() if MISSING_LINE.format(missing) in line]
    assert len(console) == 1
    assert "[error]" in console[0]


@needs_watcher
def test_an_error_line_arrives_with_its_source_location_and_no_formatting(python_logger, watcher, tmp_path):
    logger, seen = python_logger("quorvel")
    quorvel.init_logging()
    missing = str(tmp_path / "missing")
    log_missing(missing)

    assert len(seen.records) == 1
    record = seen.records[0]
    assert (record.name, record.levelno, record.levelname) == ("quorvel", 40, "ERROR")
    assert record.msg == MISSING_LINE.format(missing)
    assert record.getMessage() == record.msg
    assert record.args is None and record.exc_info is None and record.funcName is None
    assert record.thread == threading.get_ident()
    # The path of the source file of the log call, and the line of that call in it.
    assert os.path.isfile(record.pathname)
    assert os.path.basename(os.path.dirname(record.pathname)) == "fs_watcher"
    assert record.pathname.endswith(".cpp")
    with open(record.pathname, encoding="utf-8") as source:
        line = source.read().splitlines()[record.lineno - 1]
    assert "QUORVEL_LOG_SITE" in line


@needs_watcher
def test_percent_signs_and_braces_arrive_unchanged(python_logger, watcher, tmp_path):
    logger, seen = python_logger("quorvel")
    output = []
    formatted = logging.Handler()
    formatted.setFormatter(logging.Formatter("%(levelname)s:%(message)s"))
    formatted.emit = lambda record: output.append(formatted.format(record))
    logger.addHandler(formatted)
    quorvel.init_logging("quorvel")
    missing = str(tmp_path / "100% {0} %s %(name)s {} }{ %%")
    log_missing(missing)
    assert seen.messages() == [MISSING_LINE.format(missing)]
    assert output == ["ERROR:" + MISSING_LINE.format(missing)]


@needs_watcher
def test_python_decides_every_record_and_dropped_ones_make_no_record(python_logger, watcher, tmp_path):
    logger, seen = python_logger("levels", logging.CRITICAL)
    made = []
    make_record = logger.makeRecord

    def counting_make_record(*args):
        made.append(args)
        return make_record(*args)

    logger.makeRecord = counting_make_record
    quorvel.init_logging("levels")

    log_missing(str(tmp_path / "dropped"))
    assert made == [] and seen.records == []

    # Level and handler changes apply from the next record: only the logger object is cached.
    logger.setLevel(logging.ERROR)
    log_missing(str(tmp_path / "kept"))
    assert len(made) == 1
    name, level, fn, lno, msg, args, exc_info = made[0]
    assert (name, level, msg, args, exc_info) == ("levels", 40, MISSING_LINE.format(tmp_path / "kept"), None, None)
    assert seen.messages() == [msg]

    other = Collect()
    logger.removeHandler(seen)
    logger.addHandler(other)
    log_missing(str(tmp_path / "moved"))
    assert len(seen.records) == 1
    assert other.messages() == [MISSING_LINE.format(tmp_path / "moved")]

    logger.disabled = True
    log_missing(str(tmp_path / "disabled"))
    assert len(made) == 2 and len(other.records) == 1
    logger.disabled = False


@needs_watcher
def test_the_empty_name_reaches_the_root_logger(python_logger, watcher, tmp_path):
    root, seen = python_logger("")
    quorvel.init_logging("")
    log_missing(str(tmp_path / "root"))
    assert seen.messages() == [MISSING_LINE.format(tmp_path / "root")]
    assert seen.records[0].name == ""


@needs_watcher
def test_only_the_last_name_receives_and_the_name_may_be_bytes(python_logger, watcher, tmp_path):
    _, first = python_logger("first")
    _, second = python_logger("second")
    _, raw = python_logger("b\u00e4r.raw")
    quorvel.init_logging("first")
    quorvel.init_logging(logger_name="second")
    log_missing(str(tmp_path / "a"))
    assert first.records == []
    assert second.messages() == [MISSING_LINE.format(tmp_path / "a")]

    quorvel.init_logging("b\u00e4r.raw".encode())  # taken byte for byte
    log_missing(str(tmp_path / "b"))
    quorvel.init_logging(bytearray(b"second"))
    log_missing(str(tmp_path / "c"))
    assert [r.name for r in raw.records] == ["b\u00e4r.raw"]
    assert second.messages() == [MISSING_LINE.format(tmp_path / p) for p in ("a", "c")]


@needs_watcher
def test_names_that_are_not_text_are_refused_and_leave_the_bridge_in_place(python_logger, watcher, tmp_path):
    _, kept = python_logger("kept")
    quorvel.init_logging("kept")
    with pytest.raises(UnicodeEncodeError):
        quorvel.init_logging("bad\udcff")  # cannot be encoded as UTF-8
    with pytest.raises(TypeError):
        quorvel.init_logging(None)
    # Bytes that are not UTF-8 could never name a Python logger: refused at once rather than failing every line.
    with pytest.raises(UnicodeDecodeError):
        quorvel.init_logging(b"\xff\xfe")
    log_missing(str(tmp_path / "x"))
    assert kept.messages() == [MISSING_LINE.format(tmp_path / "x")]


@needs_watcher
def test_replacing_under_the_same_name_lets_go_of_the_old_python_logger(python_logger, watcher, tmp_path):
    logger, seen = python_logger("same")
    quorvel.init_logging("same")
    log_missing(str(tmp_path / "one"))  # the sink now holds the Python logger
    held = sys.getrefcount(logger)
    quorvel.init_logging("same")  # the old logger and its sink die in this call
    assert sys.getrefcount(logger) == held - 1
    log_missing(str(tmp_path / "two"))
    assert sys.getrefcount(logger) == held
    assert seen.messages() == [MISSING_LINE.format(tmp_path / p) for p in ("one", "two")]


@needs_watcher
def test_a_raising_filter_makes_the_binding_that_logged_raise(python_logger, watcher, tmp_path):
    logger, seen = python_logger("raising")

    class Refused(Exception):
        pass

    def refuse(record):
        if "refuse" in record.msg:
            raise Refused(record.msg)
        return True

    logger.addFilter(refuse)
    quorvel.init_logging("raising")
    with pytest.raises(Refused) as raised:
        quorvel.add_fs_watch(str(tmp_path / "refuse"), [watch_filter()], 2, False)
    assert raised.value.args == (MISSING_LINE.format(tmp_path / "refuse"),)
    log_missing(str(tmp_path / "fine"))
    assert seen.messages() == [MISSING_LINE.format(tmp_path / "fine")]


@needs_watcher
def test_a_failed_import_of_logging_is_tried_again_with_the_next_record(python_logger, watcher, tmp_path):
    _, seen = python_logger("retry")
    quorvel.init_logging("retry")  # a new sink: it has not fetched its Python logger yet
    saved = sys.modules["logging"]
    sys.modules["logging"] = None  # makes `import logging` raise ImportError
    try:
        with pytest.raises(ImportError):
            quorvel.add_fs_watch(str(tmp_path / "first"), [watch_filter()], 2, False)
    finally:
        sys.modules["logging"] = saved
    log_missing(str(tmp_path / "second"))
    assert seen.messages() == [MISSING_LINE.format(tmp_path / "second")]


@needs_watcher
def test_a_line_from_the_watchers_worker_arrives_like_any_other(python_logger, watcher, tmp_path):
    _, seen = python_logger("worker")
    quorvel.init_logging("worker")
    not_a_dir = tmp_path / "plain-file"
    not_a_dir.write_text("x")
    watch_id = quorvel.add_fs_watch(str(not_a_dir), [watch_filter()], 2, False)
    assert watch_id != 0
    assert wait_for(lambda: seen.records), "no line from the worker"
    quorvel.remove_fs_watch(watch_id)
    record = seen.records[0]
    prefix = f"FsWatch: ReadDirectoryChanges failed on directory {not_a_dir}, error="
    assert record.getMessage().startswith(prefix)
    assert record.getMessage()[len(prefix):].isdigit()
    assert (record.levelno, record.lineno, record.funcName) == (40, 201, None)
    assert record.thread != threading.get_ident()
    assert os.path.basename(os.path.dirname(record.pathname)) == "fs_watcher"


@needs_watcher
def test_an_error_on_the_worker_goes_to_the_unraisable_hook_and_the_worker_goes_on(python_logger, watcher, tmp_path):
    logger, seen = python_logger("worker.raising")

    def refuse(record):
        if "refuse" in record.msg:
            raise LookupError("refused on the worker")
        return True

    logger.addFilter(refuse)
    quorvel.init_logging("worker.raising")
    unraisable = []
    previous_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: unraisable.append((u.exc_type, str(u.exc_value)))
    watched = tmp_path / "watched"
    watched.mkdir()
    (tmp_path / "refuse").write_text("x")
    (tmp_path / "accept").write_text("x")
    try:
        ids = [quorvel.add_fs_watch(str(tmp_path / "refuse"), [watch_filter()], 2, False)]
        assert wait_for(lambda: unraisable)
        ids.append(quorvel.add_fs_watch(str(tmp_path / "accept"), [watch_filter()], 2, False))
        assert wait_for(lambda: seen.records)
        # The worker still delivers events (files made before its first read is armed are not reported).
        ids.append(quorvel.add_fs_watch(str(watched), [watch_filter()], 4, False))
        made = iter(range(1000000))
        assert wait_for(lambda: watcher or (watched / f"new{next(made)}").write_text("x") and False)
        for watch_id in ids:
            quorvel.remove_fs_watch(watch_id)
    finally:
        sys.unraisablehook = previous_hook
    assert unraisable == [(LookupError, "refused on the worker")]
    assert [m.split(", error=")[0] for m in seen.messages()] == [
        f"FsWatch: ReadDirectoryChanges failed on directory {tmp_path / 'accept'}"]


@needs_watcher
@pytest.mark.parametrize("bridge_first", [True, False], ids=["bridge-then-watcher", "watcher-then-bridge"])
def test_exiting_while_the_worker_logs_neither_crashes_nor_hangs(tmp_path, bridge_first):
    # Hundreds of lines still to be logged on the worker, each held up by a slow handler, when the interpreter
    # exits; the exit hooks of the watcher and of the bridge run in either order.
    result = run_python(f"""
        class Slow(logging.Handler):
            def emit(self, record):
                time.sleep(0.001)
                sys.stderr.write("python: " + record.getMessage() + "\\n")
        logging.getLogger().addHandler(Slow())
        if {bridge_first!r}:
            quorvel.init_logging("")
        assert quorvel.start_fs_watch(lambda *event: None)
        quorvel.init_logging("")
        f = watch_filter()
        for i in range(10):
            open(os.path.join({str(tmp_path)!r}, f"file{{i}}"), "w").close()
        for i in range(400):
            assert quorvel.add_fs_watch(os.path.join({str(tmp_path)!r}, f"file{{i % 10}}"), [f], 2, False)
        print("exiting", flush=True)
    """, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "exiting" in result.stdout
    line = "FsWatch: ReadDirectoryChanges failed on directory"
    to_python = [x for x in result.stderr.splitlines() if x.startswith("python: " + line)]
    to_console = [x for x in result.stdout.splitlines() if line in x]
    assert to_python
    # Nothing is handed to Python twice; what comes after the bridge closed goes to the console.
    assert len(to_python) + len(to_console) <= 400


@needs_watcher
def test_lines_logged_after_the_bridge_closed_at_exit_go_to_the_console(tmp_path):
    # Exit hooks run last-registered first: the bridge closes, then `late` logs, then the watcher stops.
    missing = str(tmp_path / "late")
    result = run_python(f"""
        logging.getLogger().addHandler(Collect())
        f = watch_filter()
        assert quorvel.start_fs_watch(lambda *event: None)
        def late():
            quorvel.init_logging("")   # too late: the interpreter is exiting
            assert quorvel.add_fs_watch({missing!r}, [f], 2, False) == 0
            print("python records after exit began:", len(seen), flush=True)
        atexit.register(late)
        quorvel.init_logging("")
        quorvel.add_fs_watch({missing!r}, [f], 2, False)
        print("python records:", len(seen), flush=True)
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "python records: 1" in result.stdout
    assert "python records after exit began: 1" in result.stdout
    assert len([line for line in result.stdout.splitlines() if MISSING_LINE.format(missing) in line]) == 1
