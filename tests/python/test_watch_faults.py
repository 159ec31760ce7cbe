"""Faults on the worker: handlers that raise, names that do not decode, watch calls from inside a handler,
interpreter exit with a running watcher. Anything that could hang runs in a child interpreter with a timeout."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quorvel
from test_watch_support import Recorder, session, touch, wait_for, watch_filter  # noqa: F401 (fixture)
from watch_helpers import child_env

pytestmark = pytest.mark.asan  # also run against the AddressSanitizer build

CHILD_TIMEOUT = 60


def run_child(code, timeout=CHILD_TIMEOUT):
    """Runs `code` in a fresh interpreter with this one's module path; fails on a hang instead of hanging."""
    # The helpers come from watch_helpers, not test_watch_support: that module pulls in pytest, which would add a
    # third of a second to every child.
    prelude = textwrap.dedent(
        """
        import os, sys, threading, time
        import quorvel
        from watch_helpers import touch, wait_for, watch_filter

        counter = [0]

        def create_new(directory):
            counter[0] += 1
            touch(os.path.join(directory, f"new-{counter[0]}"))
        """
    )
    try:
        result = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], env=child_env(),
                                timeout=timeout, capture_output=True, text=True)
    except subprocess.TimeoutExpired as e:
        raise AssertionError(f"child hung: stdout={e.stdout!r} stderr={e.stderr!r}")
    assert result.returncode == 0, f"rc={result.returncode}\nstdout={result.stdout}\nstderr={result.stderr}"
    return result


def test_a_raising_handler_reports_to_unraisablehook_and_later_events_still_arrive(session, tmp_path, monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append((u.exc_type, str(u.exc_value))))
    seen = []
    recorder = Recorder()

    def handler(watch_id, action, path, old_path):
        recorder(watch_id, action, path, old_path)
        seen.append(path)
        if path.endswith("boom"):
            raise ValueError("handler failed on purpose")

    assert quorvel.start_fs_watch(handler)
    session.add(tmp_path, flags=quorvel.CREATE)
    session.armed(tmp_path, recorder)
    touch(tmp_path / "boom")
    touch(tmp_path / "after")
    assert wait_for(lambda: str(tmp_path / "after") in seen)
    assert wait_for(lambda: (ValueError, "handler failed on purpose") in unraisable)
    # The worker goes on.
    touch(tmp_path / "later")
    assert wait_for(lambda: str(tmp_path / "later") in seen)


def test_names_that_are_not_valid_unicode_arrive_as_os_fsdecode_gives_them(session, tmp_path, monkeypatch):
    # Undecodable bytes reach the handler escaped (surrogateescape), so os functions accept the path; a rename
    # to a valid name is reported, and a directory with such a name can be watched.
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(u.exc_type))
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    session.add(tmp_path, flags=quorvel.CREATE)
    session.armed(tmp_path, recorder)
    bad = os.fsdecode(os.fsencode(str(tmp_path)) + b"/bad\xff")
    assert bad.endswith("bad\udcff")
    os.close(os.open(bad, os.O_CREAT | os.O_WRONLY, 0o644))
    assert recorder.wait(quorvel.CREATE, bad)
    assert os.path.exists([e[2] for e in recorder.events if e[2] == bad][0])
    os.rename(bad, tmp_path / "good")
    assert recorder.wait(quorvel.RENAME, tmp_path / "good")
    assert [e[3] for e in recorder.events if e[1] == quorvel.RENAME] == [bad]
    odd_dir = os.fsdecode(os.fsencode(str(tmp_path)) + b"/dir\xfe")
    os.mkdir(odd_dir)
    assert session.add(odd_dir, flags=quorvel.CREATE) != 0
    session.armed(odd_dir, recorder)
    assert unraisable == []


def test_watch_calls_from_inside_a_handler_work_or_raise_runtime_error():
    run_child(
        """
        import tempfile
        base = tempfile.mkdtemp()
        here, there = os.path.join(base, "here"), os.path.join(base, "there")
        os.mkdir(here); os.mkdir(there)
        results, later = {}, []
        done = threading.Event()

        def handler(watch_id, action, path, old_path):
            if path.startswith(there):
                later.append(path)
                return
            if "new-" not in path or action != quorvel.CREATE or done.is_set():
                return
            results["start"] = quorvel.start_fs_watch(print)
            results["add"] = quorvel.add_fs_watch(there, [watch_filter()], quorvel.CREATE, False)
            quorvel.remove_fs_watch(watch_id)
            try:
                quorvel.stop_fs_watch()
                results["stop"] = "returned"
            except RuntimeError as e:
                results["stop"] = "RuntimeError"
            done.set()

        assert quorvel.start_fs_watch(handler)
        first = quorvel.add_fs_watch(here, [watch_filter()], quorvel.CREATE, False)
        assert first
        assert wait_for(lambda: create_new(here) or done.wait(0.05))
        assert results["start"] is False, results
        assert results["add"] != 0, results
        assert results["stop"] == "RuntimeError", results
        # The handler's stop emptied the slot; a stop here joins the worker; a new start works again.
        quorvel.stop_fs_watch()
        assert quorvel.start_fs_watch(handler)
        quorvel.stop_fs_watch()
        quorvel.remove_fs_watch(results["add"])
        quorvel.remove_fs_watch(first)
        print("ok")
        """
    )


def test_interpreter_exit_with_a_running_watcher_and_events_in_flight():
    result = run_child(
        """
        import tempfile
        base = tempfile.mkdtemp()
        dirs = [os.path.join(base, str(i)) for i in range(8)]
        for d in dirs:
            os.mkdir(d)
        count = [0]

        def slow_handler(*args):
            count[0] += 1
            time.sleep(0.001)

        import atexit

        def start_during_exit():
            # Runs after the watcher's own stop at exit (atexit runs last-registered first).
            print("start during exit:", quorvel.start_fs_watch(slow_handler))

        atexit.register(start_during_exit)
        assert quorvel.start_fs_watch(slow_handler)
        for d in dirs:
            assert quorvel.add_fs_watch(d, [watch_filter()], quorvel.CREATE | quorvel.MODIFY, False)

        def writer():
            i = 0
            while True:
                touch(os.path.join(dirs[i % len(dirs)], f"f{i % 50}"))
                i += 1

        threading.Thread(target=writer, daemon=True).start()
        assert wait_for(lambda: count[0] > 100)
        print("exiting")
        """
    )
    assert "exiting" in result.stdout
    assert "start during exit: False" in result.stdout


def test_interpreter_exit_with_a_stopping_worker_and_no_handler():
    # The handler stopped the watcher from inside; nobody joined it before exit.
    run_child(
        """
        import tempfile
        d = tempfile.mkdtemp()
        stopped = threading.Event()

        def handler(*args):
            try:
                quorvel.stop_fs_watch()
            except RuntimeError:
                stopped.set()

        assert quorvel.start_fs_watch(handler)
        assert quorvel.add_fs_watch(d, [watch_filter()], quorvel.CREATE, False)
        assert wait_for(lambda: create_new(d) or stopped.wait(0.05))
        """
    )


@pytest.mark.parametrize("bridge", [False, True], ids=["console-log", "python-log"])
def test_interpreter_exit_while_daemon_threads_are_inside_watch_functions(bridge):
    # Daemon threads still inside add_fs_watch/remove_fs_watch (GIL released, logging a failure) when the
    # interpreter finalises must not abort the process. The race is hit almost every run, so a few runs suffice.
    for _ in range(3):
        run_child(
            f"""
            if {bridge}:
                quorvel.init_logging()
            assert quorvel.start_fs_watch(lambda *args: None)
            calls = [0]

            def spin():
                while True:
                    quorvel.add_fs_watch("/nonexistent/quorvel-exit", [watch_filter()], quorvel.MODIFY, False)
                    quorvel.remove_fs_watch(12345)
                    calls[0] += 1

            for _ in range(4):
                threading.Thread(target=spin, daemon=True).start()
            assert wait_for(lambda: calls[0] > 50)
            """
        )


def test_interpreter_exit_while_daemon_threads_start_and_stop_the_watcher():
    # A daemon thread waiting for the GIL inside start_fs_watch/stop_fs_watch when finalisation begins is ended
    # by a forced unwind through the handler argument and the handler taken out of the slot: neither may take
    # the GIL again there (that aborted the process). The threads are only woken when the exiting interpreter
    # releases the GIL, so the child's last flush is made to block on a full pipe until the parent reads. The
    # race is hit in about one run in six: twelve runs.
    code = textwrap.dedent(
        """
        import sys, threading, time
        import quorvel

        def handler(*args):
            pass

        calls = [0]

        def cycle(stopper):
            while True:
                quorvel.start_fs_watch(handler)
                if stopper:
                    quorvel.stop_fs_watch()
                calls[0] += 1

        assert quorvel.start_fs_watch(handler)
        for i in range(12):
            threading.Thread(target=cycle, args=(i == 0,), daemon=True).start()
        end = time.monotonic() + 10
        while calls[0] < 200 and time.monotonic() < end:
            time.sleep(0.005)
        sys.stdout.buffer.write(b"x" * 65536)  # fills the pipe
        sys.stdout.buffer.flush()
        sys.stdout.buffer.write(b"y" * 100)  # flushed at finalisation, after the parent starts reading
        """
    )
    for run in range(12):
        child = subprocess.Popen([sys.executable, "-c", code], env=child_env(), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        time.sleep(0.2)
        try:
            out, err = child.communicate(timeout=CHILD_TIMEOUT)
        except subprocess.TimeoutExpired:
            child.kill()
            raise AssertionError("child hung")
        assert child.returncode == 0, f"run {run}: rc={child.returncode} stderr={err.decode(errors='replace')}"
        assert len(out) == 65636


def test_ctrl_c_interrupts_a_stop_that_waits_for_a_blocked_handler():
    # The stop waits for the worker as Thread.join does: SIGINT raises KeyboardInterrupt there, the watcher stays
    # stopping (no new watch), and a later stop finishes once the handler returns.
    code = textwrap.dedent(
        """
        import os, sys, tempfile, threading, time
        import quorvel, watch_helpers

        d = tempfile.mkdtemp()
        block, entered = threading.Event(), threading.Event()

        def handler(*args):
            entered.set()
            block.wait()

        f = watch_helpers.watch_filter()
        assert quorvel.start_fs_watch(handler)
        assert quorvel.add_fs_watch(d, [f], quorvel.CREATE, False)
        i = 0
        while not entered.wait(0.05):
            i += 1
            open(os.path.join(d, f"f{i}"), "w").close()
        try:
            print("stopping", flush=True)
            quorvel.stop_fs_watch()
            print("stop returned")
        except KeyboardInterrupt:
            print("interrupted")
        print("add while stopping:", quorvel.add_fs_watch(d, [f], quorvel.CREATE, False))
        block.set()
        quorvel.stop_fs_watch()
        print("restart:", quorvel.start_fs_watch(handler))
        quorvel.stop_fs_watch()
        """
    )
    child = subprocess.Popen([sys.executable, "-c", code], env=child_env(), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "stopping\n"
        time.sleep(0.3)  # lets the stop begin its wait; the outcome does not depend on it
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        child.kill()
        raise AssertionError("the stop ignored SIGINT")
    assert child.returncode == 0, err
    assert out.splitlines() == ["interrupted", "add while stopping: 0", "restart: True"]


def test_a_forked_child_watches_on_its_own_and_leaves_the_parents_watch_alone(session, tmp_path):
    # multiprocessing forks by default on Linux: the child must start clean (its own worker, port and inotify
    # instance), and nothing it does (removing the inherited id too) may end the parent's watch.
    mine, theirs = tmp_path / "parent", tmp_path / "child"
    mine.mkdir()
    theirs.mkdir()
    recorder = Recorder()
    assert quorvel.start_fs_watch(recorder)
    parent_id = session.add(mine, flags=quorvel.CREATE)
    session.armed(mine, recorder)
    pid = os.fork()
    if pid == 0:
        code = 3
        try:
            seen = Recorder()
            if quorvel.start_fs_watch(seen):
                code = 4
                child_id = quorvel.add_fs_watch(str(theirs), [watch_filter()], quorvel.CREATE, False)
                probes = iter(range(10**6))
                if child_id and wait_for(lambda: touch(theirs / f"c{next(probes)}") or seen.events, 10):
                    code = 0
                quorvel.remove_fs_watch(parent_id)
                quorvel.remove_fs_watch(child_id)
                quorvel.stop_fs_watch()
        finally:
            os._exit(code)
    deadline = time.monotonic() + CHILD_TIMEOUT
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError("the child hung")
        time.sleep(0.01)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    touch(mine / "after-the-child")
    assert recorder.wait(quorvel.CREATE, mine / "after-the-child")
