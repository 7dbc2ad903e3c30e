"""The exported category hashmap functions, called through ctypes on records
built here with the published layout."""

import ctypes
import sys

import numpy as np
import pytest

import _kestor

BUCKETS = 719
CYCLE = [float(np.float32(v)) for v in (
    -0.01, 0.01, 0.0, -0.005, 0.02, 0.04, 0.015, 0.035, -0.045, 0.005,
    -0.05, -0.03, -0.04, -0.035, 0.025, -0.025, 0.045, -0.02, -0.015, 0.03)]


class Entry(ctypes.Structure):
    pass


Entry._fields_ = [
    ("next", ctypes.POINTER(Entry)),
    ("weight", ctypes.c_double),
    ("key", ctypes.c_void_p),
    ("hash", ctypes.c_ssize_t),
]


class Hashmap(ctypes.Structure):
    _fields_ = [
        ("count", ctypes.c_int32),
        ("buckets", ctypes.POINTER(Entry) * BUCKETS),
        ("initial_weights", ctypes.c_float * 20),
        ("next_initial", ctypes.c_int32),
    ]


# PyDLL keeps the interpreter lock during the call and raises the Python
# exception that a function leaves set.
lib = ctypes.PyDLL(_kestor.__file__)
lib.category_hashmap_get.argtypes = [ctypes.POINTER(Hashmap), ctypes.py_object]
lib.category_hashmap_get.restype = ctypes.POINTER(Entry)
lib.category_hashmap_clear.argtypes = [ctypes.POINTER(Hashmap)]
lib.category_hashmap_clear.restype = ctypes.c_int32
lib.category_hashmap_iterate.argtypes = [ctypes.POINTER(Hashmap), ctypes.POINTER(Entry)]
lib.category_hashmap_iterate.restype = ctypes.POINTER(Entry)


@pytest.fixture
def hmap():
    m = Hashmap()
    for i, w in enumerate(CYCLE):
        m.initial_weights[i] = w
    yield m
    lib.category_hashmap_clear(ctypes.byref(m))


def get(m, key):
    return lib.category_hashmap_get(ctypes.byref(m), key)


def entries(m):
    out = []
    e = lib.category_hashmap_iterate(ctypes.byref(m), None)
    while e:
        out.append(e.contents)
        e = lib.category_hashmap_iterate(ctypes.byref(m), e)
    return out


def test_record_layout_matches():
    assert ctypes.sizeof(Entry) == 32
    assert Hashmap.buckets.offset == 8
    assert Hashmap.next_initial.offset == 8 + 8 * BUCKETS + 80


def test_empty_map_iterates_nothing(hmap):
    assert not lib.category_hashmap_iterate(ctypes.byref(hmap), None)
    assert lib.category_hashmap_clear(ctypes.byref(hmap)) == 0


def test_cycle_wraps_at_19(hmap):
    hmap.next_initial = 19
    weights = [get(hmap, k).contents.weight for k in ("a", "b", "c")]
    assert weights == [0.029999999329447746, -0.009999999776482582, 0.009999999776482582]
    assert hmap.next_initial == 2
    assert hmap.count == 3


def test_found_key_keeps_entry_and_cycle(hmap):
    first = get(hmap, "x")
    again = get(hmap, "x")
    assert ctypes.addressof(first.contents) == ctypes.addressof(again.contents)
    assert hmap.next_initial == 1 and hmap.count == 1
    for k in range(1, 20):
        get(hmap, ("k", k))
    assert get(hmap, "twenty-first").contents.weight == first.contents.weight


def test_unequal_keys_with_equal_hashes_are_two_entries_newest_first(hmap):
    a = get(hmap, -1)
    b = get(hmap, -2)  # hash(-1) == hash(-2) == -2: bucket 147 as unsigned
    assert ctypes.addressof(a.contents) != ctypes.addressof(b.contents)
    assert a.contents.hash == b.contents.hash == -2
    assert ctypes.addressof(hmap.buckets[147].contents) == ctypes.addressof(b.contents)
    assert ctypes.addressof(b.contents.next.contents) == ctypes.addressof(a.contents)
    assert (hmap.count, hmap.next_initial) == (2, 2)
    assert [e.key for e in entries(hmap)] == [id(-2), id(-1)]
    assert ctypes.addressof(get(hmap, -1).contents) == ctypes.addressof(a.contents)


def test_equal_keys_share_the_first_entry(hmap):
    first = get(hmap, 1)
    for key in (1.0, True, np.int64(1)):
        assert ctypes.addressof(get(hmap, key).contents) == ctypes.addressof(first.contents)
    assert first.contents.key == id(1) and hmap.count == 1


class Refusing:
    """Hashes like every other instance and refuses to be compared."""

    def __hash__(self):
        return 5

    def __eq__(self, other):
        raise LookupError("no comparison")


def test_raising_comparison_fails_and_creates_nothing(hmap):
    kept = Refusing()
    get(hmap, kept)
    assert ctypes.addressof(get(hmap, kept).contents) == ctypes.addressof(hmap.buckets[5].contents)  # identity
    with pytest.raises(LookupError, match="no comparison"):
        get(hmap, Refusing())
    assert (hmap.count, hmap.next_initial) == (1, 1)
    assert [e.key for e in entries(hmap)] == [id(kept)]


def test_iteration_bucket_order_newest_first(hmap):
    for key in (10, 3, 3 + BUCKETS, 718):
        get(hmap, key)
    assert [e.hash for e in entries(hmap)] == [3 + BUCKETS, 3, 10, 718]


def test_clear_releases_keys_and_continues_cycle(hmap):
    keys = [object() for _ in range(3)]
    before = [sys.getrefcount(k) for k in keys]
    for i in range(3):
        get(hmap, keys[i])
    assert [sys.getrefcount(k) for k in keys] == [n + 1 for n in before]
    assert lib.category_hashmap_clear(ctypes.byref(hmap)) == 0
    assert hmap.count == 0
    assert entries(hmap) == []
    assert all(not hmap.buckets[b] for b in range(BUCKETS))
    assert [sys.getrefcount(k) for k in keys] == before
    assert get(hmap, "next").contents.weight == CYCLE[3]


def test_unhashable_key_leaves_map_unchanged(hmap):
    get(hmap, "kept")
    with pytest.raises(TypeError, match="unhashable"):
        get(hmap, ["not", "hashable"])
    assert hmap.count == 1 and hmap.next_initial == 1
    assert [e.key for e in entries(hmap)] == [id("kept")]
