"""Several threads adding and removing watches and starting and stopping the watcher while files change and
handlers raise or call back into the watcher: no deadlock, no crash, no leaked descriptor. Runs in a child
interpreter with a timeout, so a deadlock fails the test instead of hanging the suite."""
import pytest

from test_watch_faults import run_child

pytestmark = pytest.mark.asan  # also run against the AddressSanitizer build

STRESS_SECONDS = 6


def test_threads_racing_the_watcher_leave_nothing_behind():
    result = run_child(
        f"""
        import random, tempfile
        base = tempfile.mkdtemp()
        dirs = [os.path.join(base, str(i)) for i in range(6)]
        for d in dirs:
            os.makedirs(os.path.join(d, "sub"))

        def fds():
            return len(os.listdir("/proc/self/fd"))

        # The platform opens its own descriptors on first use; count after one full round.
        counter = [0]
        def create_new(d, seen):
            counter[0] += 1
            touch(os.path.join(d, f"new-{{counter[0]}}"))
            return wait_for(lambda: seen, 0.05)

        warm = []
        assert quorvel.start_fs_watch(lambda *e: warm.append(e))
        warm_id = quorvel.add_fs_watch(dirs[0], [watch_filter()], quorvel.CREATE, False)
        assert wait_for(lambda: create_new(dirs[0], warm))
        quorvel.remove_fs_watch(warm_id)
        quorvel.stop_fs_watch()
        baseline = fds()

        unraisable = []
        sys.unraisablehook = lambda u: unraisable.append(u.exc_type)
        events = [0]
        ids_lock = threading.Lock()
        ids = []
        stop_at = time.monotonic() + {STRESS_SECONDS}
        errors = []

        def handler(watch_id, action, path, old_path):
            events[0] += 1
            r = random.random()
            if r < 0.05:
                raise ValueError("raised on purpose")
            if r < 0.07:
                quorvel.remove_fs_watch(watch_id)
            elif r < 0.08:
                with ids_lock:
                    ids.append(quorvel.add_fs_watch(dirs[0], [watch_filter()], quorvel.CREATE, False))
            elif r < 0.085:
                try:
                    quorvel.stop_fs_watch()
                except RuntimeError:
                    pass

        def guarded(body):
            def run():
                try:
                    while time.monotonic() < stop_at:
                        body()
                except BaseException as e:
                    errors.append(repr(e))
            return run

        def watcher_churn():
            quorvel.stop_fs_watch()
            quorvel.start_fs_watch(handler)
            time.sleep(random.uniform(0, 0.05))

        def watch_churn():
            d = random.choice(dirs)
            depth = random.choice([0, 1, -1])
            watch_id = quorvel.add_fs_watch(d, [watch_filter("*", depth)], random.choice([2, 4, 30]),
                                            random.random() < 0.5)
            with ids_lock:
                ids.append(watch_id)
                victim = random.choice(ids)
            quorvel.remove_fs_watch(victim)

        def writer():
            d = random.choice(dirs)
            name = os.path.join(d, random.choice(["", "sub"]), f"f{{random.randrange(40)}}")
            try:  # the two writers race each other over the same names
                if not os.path.exists(name):
                    touch(name)
                elif random.random() < 0.5:
                    os.rename(name, name + ".moved")
                    os.remove(name + ".moved")
                else:
                    os.remove(name)
            except FileNotFoundError:
                pass

        threads = [threading.Thread(target=guarded(f)) for f in
                   [watcher_churn, watch_churn, watch_churn, watch_churn, writer, writer]]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors, errors
        assert events[0] > 0

        quorvel.stop_fs_watch()
        with ids_lock:
            for watch_id in ids:
                quorvel.remove_fs_watch(watch_id)
        assert fds() == baseline, (fds(), baseline)
        assert set(unraisable) <= {{ValueError}}, set(unraisable)
        # Still usable afterwards.
        seen = []
        assert quorvel.start_fs_watch(lambda *e: seen.append(e[2]))
        watch_id = quorvel.add_fs_watch(dirs[1], [watch_filter()], quorvel.CREATE, False)
        assert wait_for(lambda: create_new(dirs[1], seen))
        quorvel.stop_fs_watch()
        quorvel.remove_fs_watch(watch_id)
        print("events", events[0], "unraisable", len(unraisable))
        """,
        timeout=120,
    )
    assert "events" in result.stdout
