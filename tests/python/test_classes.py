"""WindowRect, WindowScreenshot, WatchFilter and the FsWatchAction IntEnum as Python sees them."""

import enum
import gc
import weakref

import pytest

import quorvel

CLASSES = [quorvel.WindowRect, quorvel.WindowScreenshot, quorvel.WatchFilter]


@pytest.mark.parametrize("cls", CLASSES)
def test_one_no_argument_init_and_no_instance_dict(cls):
    obj = cls()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.not_a_field = 1
    with pytest.raises(TypeError):
        cls(0)
    with pytest.raises(TypeError):
        cls(x=0)
    assert cls.__doc__ is None
    assert cls.__module__ == "quorvel"


def test_new_instances_are_zeroed():
    rect = quorvel.WindowRect()
    assert (rect.x, rect.y, rect.w, rect.h) == (0, 0, 0, 0)
    shot = quorvel.WindowScreenshot()
    assert (shot.width, shot.height, shot.row_pitch, shot.rotation) == (0, 0, 0, 0)
    assert (shot.area.x, shot.area.y, shot.area.w, shot.area.h) == (0, 0, 0, 0)
    assert len(shot.image_blob) == 0
    watch_filter = quorvel.WatchFilter()
    assert watch_filter.pattern == "" and watch_filter.recursive_depth == 0


def test_fields_keep_what_is_written():
    rect = quorvel.WindowRect()
    rect.x, rect.y, rect.w, rect.h = 1, -2, 3, 4
    assert (rect.x, rect.y, rect.w, rect.h) == (1, -2, 3, 4)
    shot = quorvel.WindowScreenshot()
    shot.width, shot.height, shot.row_pitch, shot.rotation = 1280, 720, 5120, 270
    assert (shot.width, shot.height, shot.row_pitch, shot.rotation) == (1280, 720, 5120, 270)


def test_area_reads_as_a_live_view_and_assignment_copies():
    shot = quorvel.WindowScreenshot()
    view = shot.area
    view.x = 17
    assert shot.area.x == 17
    rect = quorvel.WindowRect()
    rect.x, rect.w = 5, 640
    shot.area = rect
    assert (shot.area.x, shot.area.w) == (5, 640)
    rect.x = 99
    assert shot.area.x == 5
    assert view.x == 5  # the earlier view shows the copied values
    for bad in (None, (1, 2, 3, 4), quorvel.WatchFilter()):
        with pytest.raises(TypeError):
            shot.area = bad


def test_area_view_keeps_its_screenshot_alive():
    shot = quorvel.WindowScreenshot()
    shot.area.h = 33
    alive = weakref.ref(shot)
    view = shot.area
    del shot
    gc.collect()
    assert alive() is not None
    assert view.h == 33
    del view
    gc.collect()
    assert alive() is None


def test_image_blob_is_a_read_only_byte_view():
    shot = quorvel.WindowScreenshot()
    view = shot.image_blob
    assert isinstance(view, memoryview)
    assert (view.readonly, view.format, view.itemsize, view.ndim, len(view)) == (True, "B", 1, 1, 0)
    assert view.tobytes() == b""
    assert shot.image_blob is not view
    with pytest.raises(TypeError):
        view[:] = b""
    with pytest.raises(TypeError):
        view[0:0] = b""
    with pytest.raises(AttributeError):
        shot.image_blob = memoryview(b"")
    with pytest.raises(AttributeError):
        del shot.image_blob


def test_image_blob_getter_refuses_other_objects():
    getter = quorvel.WindowScreenshot.image_blob.fget
    for bad in (None, quorvel.WindowRect(), memoryview(b"")):
        with pytest.raises(TypeError):
            getter(bad)


@pytest.mark.asan
@pytest.mark.parametrize("cls", CLASSES)
def test_objects_made_without_init_are_complete(cls):
    # pybind11 would hand out uninitialised memory for these; they must read as new objects and take writes.
    bare = cls.__new__(cls)
    assert type(bare) is cls
    fresh = cls()
    for name in [n for n in dir(cls) if isinstance(getattr(cls, n), property) and n != "image_blob"]:
        value = getattr(bare, name)
        if isinstance(value, quorvel.WindowRect):
            assert (value.x, value.y, value.w, value.h) == (0, 0, 0, 0)
        else:
            assert value == getattr(fresh, name), name
    if cls is quorvel.WatchFilter:
        bare.pattern = "x" * 1000
        assert bare.pattern == "x" * 1000
    if cls is quorvel.WindowScreenshot:
        assert bare.image_blob.tobytes() == b""
    bare.__init__()
    with pytest.raises(TypeError):
        bare.__init__(1)
    with pytest.raises(TypeError):
        cls.__new__(int)
    with pytest.raises(TypeError):
        cls.__new__()


@pytest.mark.asan
def test_subclasses_may_touch_fields_before_the_base_init():
    class Filter(quorvel.WatchFilter):
        def __init__(self, pattern):
            self.pattern = pattern  # before the base's __init__
            super().__init__()

    class Made(quorvel.WatchFilter):
        def __new__(cls):
            return super().__new__(cls)

    class Forgetful(quorvel.WindowRect):
        def __init__(self):
            self.x = 4  # and never calls the base's __init__

    assert Filter("*.log").pattern == "*.log"
    made = Made()
    assert type(made) is Made and made.pattern == ""
    assert Forgetful().x == 4


@pytest.mark.asan
def test_image_blob_views_keep_the_screenshot_alive():
    shot = quorvel.WindowScreenshot()
    alive = weakref.ref(shot)
    view = shot.image_blob
    derived = [view[0:0], view.cast("b"), memoryview(view), view.toreadonly()]
    del shot, view
    gc.collect()
    assert alive() is not None
    for d in derived:
        assert d.tobytes() == b""
    del d
    derived.pop()
    derived.pop(0)
    gc.collect()
    assert alive() is not None
    derived.clear()
    gc.collect()
    assert alive() is None


@pytest.mark.asan
def test_cycle_through_a_screenshot_subclass_is_collected():
    class Shot(quorvel.WindowScreenshot):
        pass

    shot = Shot()
    shot.view = shot.image_blob  # the subclass has a __dict__: shot -> view -> exporter -> shot
    alive = weakref.ref(shot)
    del shot
    gc.collect()
    assert alive() is None


def test_fs_watch_action_is_an_int_enum_exported_on_the_module():
    action = quorvel.FsWatchAction
    assert issubclass(action, enum.IntEnum)
    assert action.__name__ == "FsWatchAction" and action.__module__ == "quorvel"
    assert action.__doc__ is None
    assert [(m.name, m.value) for m in action] == [("MODIFY", 2), ("CREATE", 4), ("DELETE", 8), ("RENAME", 16)]
    for member in action:
        assert getattr(quorvel, member.name) is member
        assert member.__doc__ is None or member.__doc__ == action.__doc__
    combined = quorvel.MODIFY | quorvel.CREATE
    assert combined == 6 and type(combined) is int
    assert quorvel.RENAME == 16
