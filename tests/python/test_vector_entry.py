import array
import math
import struct

import pytest

from sorvid_vector_db import VectorEntry

np = pytest.importorskip("numpy")


def f32(x):
    """x rounded to the nearest 32-bit float, as a Python float."""
    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.mark.parametrize(
    "embedding, expected",
    [
        ([1, 2.5, True], [1.0, 2.5, 1.0]),
        ((0.1,), [0.10000000149011612]),
        (b"\x01\x02", [1.0, 2.0]),
        ([], []),
        ([1e300], [math.inf]),
        ([-1e300], [-math.inf]),
        # Halfway between the largest float and 2^128 rounds to even: infinity.
        ([3.4028235677973362e38, 3.4028235677973366e38], [3.4028234663852886e38, math.inf]),
        (array.array("d", [-3.4028235677973362e38, -3.4028235677973366e38]), [-3.4028234663852886e38, -math.inf]),
        (range(3), [0.0, 1.0, 2.0]),
        ([2**64], [f32(2.0**64)]),
        (array.array("d", [0.1, 3.0]), [f32(0.1), 3.0]),
        (array.array("f", [0.5, -2.0]), [0.5, -2.0]),
        (array.array("i", [7, -1]), [7.0, -1.0]),
    ],
)
def test_embedding_conversion(embedding, expected):
    assert VectorEntry("a", embedding).embedding == expected


def test_nan_is_kept():
    (value,) = VectorEntry("a", [math.nan]).embedding
    assert math.isnan(value)


def test_defaults_and_keywords():
    entry = VectorEntry(embedding=[1.0], id="x")
    assert (entry.id, entry.metadata, entry.created_at) == ("x", "", "")
    entry = VectorEntry("x", [1.0], "meta", created_at="2024")
    assert (entry.metadata, entry.created_at) == ("meta", "2024")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a",), {}, "VectorEntry.__new__() missing 1 required positional argument: 'embedding'"),
        ((), {}, "VectorEntry.__new__() missing 2 required positional arguments: 'id' and 'embedding'"),
        (("a", [1.0], "m", "t", "x"), {}, "VectorEntry.__new__() takes from 2 to 4 positional arguments but 5 were given"),
        (("a", [1.0]), {"metadata": None}, "argument 'metadata': 'None' is not an instance of 'str'"),
        ((5, [1.0]), {}, "argument 'id': 'int' object is not an instance of 'str'"),
        (("a", 5), {}, "argument 'embedding': 'int' object is not an instance of 'Sequence'"),
        (("a", None), {}, "argument 'embedding': 'None' is not an instance of 'Sequence'"),
        (("a", "xyz"), {}, "argument 'embedding': Can't extract `str` to `Vec`"),
        (("a", {1: 2}), {}, "argument 'embedding': 'dict' object is not an instance of 'Sequence'"),
        (("a", [1.0]), {"bogus": 1}, "VectorEntry.__new__() got an unexpected keyword argument 'bogus'"),
        (("a", [1.0]), {"id": "b"}, "VectorEntry.__new__() got multiple values for argument 'id'"),
        (("a", [1.0], "m"), {"metadata": "n"}, "VectorEntry.__new__() got multiple values for argument 'metadata'"),
    ],
)
def test_constructor_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        VectorEntry(*args, **kwargs)
    assert str(info.value) == message


def test_non_number_item_is_prefixed_type_error():
    with pytest.raises(TypeError) as info:
        VectorEntry("a", ["x"])
    assert str(info.value).startswith("argument 'embedding': ")
    assert type(info.value) is TypeError


class Explosive:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def test_prefixed_type_error_keeps_the_cause():
    cause = KeyError("root")
    inner = TypeError("inner problem")
    inner.__cause__ = cause
    with pytest.raises(TypeError) as info:
        VectorEntry("a", [Explosive(inner)])
    assert str(info.value) == "argument 'embedding': inner problem"
    assert info.value is not inner
    assert info.value.__cause__ is cause


@pytest.mark.parametrize("exc", [ValueError("bad value"), OverflowError("big"), ZeroDivisionError("z")])
def test_other_errors_pass_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        VectorEntry("a", [Explosive(exc)])
    assert info.value is exc


def test_type_error_subclass_is_not_prefixed():
    class MyTypeError(TypeError):
        pass

    exc = MyTypeError("mine")
    with pytest.raises(MyTypeError) as info:
        VectorEntry("a", [Explosive(exc)])
    assert info.value is exc


def test_lone_surrogate_id_raises_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        VectorEntry("\ud800", [1.0])


def test_str_subclass_is_text():
    class Name(str):
        pass

    assert VectorEntry(Name("n"), [1.0]).id == "n"


def test_failing_iteration_propagates():
    class Broken:
        def __len__(self):
            raise TypeError("no length")  # only used to reserve room; an object without one is iterated

        def __getitem__(self, index):
            if index < 2:
                return float(index)
            raise IndexError

    assert VectorEntry("a", Broken()).embedding == [0.0, 1.0]

    class BadIter(Broken):
        def __iter__(self):
            raise LookupError("no iteration")

    with pytest.raises(LookupError):
        VectorEntry("a", BadIter())


@pytest.mark.parametrize(
    "entry_id, expected",
    [
        ("doc-1", 'VectorEntry(id="doc-1", dim=3)'),
        ('say "hi"', 'VectorEntry(id="say \\"hi\\"", dim=3)'),
        ("tab\there", 'VectorEntry(id="tab\\there", dim=3)'),
        ("it's é", 'VectorEntry(id="it\'s é", dim=3)'),
        ("nul\0", 'VectorEntry(id="nul\\0", dim=3)'),
        ("\u200b\u00a0 ", 'VectorEntry(id="\\u{200b}\\u{a0} ", dim=3)'),
        ("e\u0301", 'VectorEntry(id="e\\u{301}", dim=3)'),
    ],
)
def test_repr(entry_id, expected):
    assert repr(VectorEntry(entry_id, [1.0, 2.0, 3.0])) == expected


def test_empty_entry():
    entry = VectorEntry("a", [])
    assert len(entry) == 0
    assert not entry
    assert repr(entry) == 'VectorEntry(id="a", dim=0)'


def test_properties_round_trip_and_copy():
    entry = VectorEntry("a", [1.0, 2.0])
    entry.id, entry.metadata, entry.created_at = "b", "m", "t"
    entry.embedding = (3, 4, 5)
    assert (entry.id, entry.embedding, entry.metadata, entry.created_at) == ("b", [3.0, 4.0, 5.0], "m", "t")
    assert len(entry) == 3
    entry.embedding.append(9.0)
    assert entry.embedding == [3.0, 4.0, 5.0]
    assert entry.embedding is not entry.embedding


def test_failed_write_leaves_field_unchanged():
    entry = VectorEntry("a", [1.0])
    with pytest.raises(TypeError) as info:
        entry.embedding = "abc"
    assert str(info.value) == "argument 'embedding': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        entry.id = 3
    assert str(info.value) == "argument 'id': 'int' object is not an instance of 'str'"
    assert (entry.id, entry.embedding) == ("a", [1.0])


@pytest.mark.parametrize("name", ["id", "embedding", "metadata", "created_at"])
def test_properties_cannot_be_deleted_and_have_empty_docs(name):
    entry = VectorEntry("a", [1.0])
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(entry, name)
    assert getattr(VectorEntry, name).__doc__ == ""


def test_no_equality_hash_or_new_attributes():
    a, b = VectorEntry("a", [1.0]), VectorEntry("a", [1.0])
    assert a != b
    assert a == a
    assert hash(a) != hash(b) or a is not b
    with pytest.raises(AttributeError):
        a.extra = 1


def test_type_doc_is_text_signature():
    assert VectorEntry.__doc__ is None or VectorEntry.__doc__ == ""
    assert VectorEntry.__text_signature__ == '(id, embedding, metadata="", created_at="")'


def test_reentrant_write_during_conversion_is_safe():
    entry = VectorEntry("a", [1.0])

    class Sneaky:
        def __len__(self):
            return 2

        def __getitem__(self, index):
            raise IndexError

        def __iter__(self):
            # Runs while the outer write converts its value; no access is
            # held yet, so reading and writing the entry here both work.
            assert entry.embedding == [1.0]
            entry.embedding = [7.0]
            yield 2.0
            yield 3.0

    entry.embedding = Sneaky()
    assert entry.embedding == [2.0, 3.0]


# NumPy and other buffers take a direct path; it must give the same bits and
# the same errors as iterating item by item.

def _bits(values):
    return struct.pack(f"{len(values)}f", *values)


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_numpy_fast_path_matches_sequence_path(dtype):
    rng = np.random.default_rng(7)
    with np.errstate(over="ignore"):
        values = np.concatenate(
            [
                rng.normal(size=500) * 10.0 ** rng.integers(-45, 39, size=500),
                [0.0, -0.0, np.inf, -np.inf, np.nan, 1e-46, 3.5e38, -1e-40, 1e308, 1e-320],
            ]
        ).astype(dtype)
    fast = VectorEntry("a", values).embedding
    slow = VectorEntry("a", list(values)).embedding
    assert _bits(fast) == _bits(slow)
    assert _bits(VectorEntry("a", array.array("d" if dtype == "float64" else "f", values.tolist())).embedding) == _bits(slow)


def test_signalling_nan_is_quieted_like_the_sequence_path():
    raw = np.array([0x7F800001, 0xFFA00000, 0x7FC00000], dtype=np.uint32).view(np.float32)
    fast = VectorEntry("a", raw).embedding
    slow = VectorEntry("a", [x for x in raw]).embedding
    assert _bits(fast) == _bits(slow)


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.arange(6, dtype=np.float32).reshape(2, 3),
        lambda: np.arange(6, dtype=np.float32)[::2],
        lambda: np.arange(4, dtype=np.int64),
        lambda: np.arange(4, dtype=np.float16),
        lambda: np.arange(4, dtype=">f4"),
        lambda: np.zeros(0, dtype=np.float32),
        lambda: np.float32(3.0),
    ],
)
def test_other_arrays_take_the_ordinary_path(make):
    value = make()
    try:
        expected = VectorEntry("a", list(value) if value.ndim else value).embedding
    except TypeError as exc:
        with pytest.raises(TypeError) as info:
            VectorEntry("a", value)
        assert str(info.value) == str(exc) or str(info.value).startswith("argument 'embedding': ")
        return
    assert VectorEntry("a", value).embedding == expected



class _Changing:
    """An item whose first conversion changes the list being converted (set once the list exists)."""

    def __init__(self, change):
        self.change, self.values = change, None

    def __float__(self):
        change, self.change = self.change, lambda values: None
        change(self.values)
        return 7.0


class _ListSubclass(list):
    """Converted through its iterator, as any sequence but an exact list or tuple is."""


# Exact lists are read by index; they must give what their iteration gives, even when converting an item
# changes the list.
@pytest.mark.parametrize("change", [lambda v: None, lambda v: v.pop(), lambda v: v.append(9.5), lambda v: v.clear(),
                                    lambda v: v.insert(0, 3.0), lambda v: v.pop(0)],
                         ids=["none", "pop", "append", "clear", "insert_before", "remove_before"])
def test_lists_convert_as_their_iteration_does(change):
    def converted(make):
        item = _Changing(change)
        item.values = values = make([1.5, item, 2.0**70, True, 0.1])
        return VectorEntry("a", values).embedding

    assert converted(list) == converted(_ListSubclass)
