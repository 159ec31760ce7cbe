"""Argument conversion at the field setters: signed 32-bit integers and wide strings."""

import decimal

import pytest

import quorvel

INT_FIELDS = [(quorvel.WindowRect, name) for name in "xywh"] + \
             [(quorvel.WindowScreenshot, name) for name in ("width", "height", "row_pitch", "rotation")] + \
             [(quorvel.WatchFilter, "recursive_depth")]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntOnly:
    def __int__(self):
        return 12


class RaisingIndex:
    def __index__(self):
        raise ValueError("no")


class Float(float):
    pass


ACCEPTED = [(0, 0), (-2**31, -2**31), (2**31 - 1, 2**31 - 1), (True, 1), (False, 0), (Index(-7), -7),
            (IntOnly(), 12), (decimal.Decimal(9), 9), (quorvel.RENAME, 16)]
REFUSED = [2**31, -2**31 - 1, 2**64, -2**70, 1.0, 0.0, Float(1), "1", b"1", None, [1], Index(2**31),
           RaisingIndex(), object()]


@pytest.mark.parametrize("cls,field", INT_FIELDS, ids=lambda p: getattr(p, "__name__", p))
def test_signed_32_bit_fields(cls, field):
    obj = cls()
    for value, expected in ACCEPTED:
        setattr(obj, field, value)
        got = getattr(obj, field)
        assert got == expected and type(got) is int, (value, got)
    setattr(obj, field, 5)
    for value in REFUSED:
        with pytest.raises(TypeError):
            setattr(obj, field, value)
        assert getattr(obj, field) == 5, value


def test_pattern_takes_str_only():
    watch_filter = quorvel.WatchFilter()
    for text in ["*.txt", "", "Ünïcödé\\*", "emoji 😀 and astral 𝄞", "nul\0inside", "x" * 100000]:
        watch_filter.pattern = text
        assert watch_filter.pattern == text
    class Str(str):
        pass
    watch_filter.pattern = Str("sub")
    assert watch_filter.pattern == "sub" and type(watch_filter.pattern) is str
    first, second = watch_filter.pattern, watch_filter.pattern
    assert first == second and first is not second
    for bad in [None, b"*.txt", bytearray(b"*.txt"), 3, "lone \ud800 surrogate", "\udcff"]:
        with pytest.raises(TypeError):
            watch_filter.pattern = bad
        assert watch_filter.pattern == "sub"
