"""Bad and outsized input: every case either works or fails with a clear error, and nothing crashes.

Sizes are chosen to stay within a few hundred megabytes of memory and well under a minute in all.
"""
import array
import copy
import gc
import os
import pickle
import sys

import numpy as np
import pytest

from sorvid_vector_db import VectorEntry, VectorStore

MIB = 2**20


@pytest.fixture
def filled_store(store):
    store.upsert_batch([VectorEntry(str(i), [float(i), 1.0]) for i in range(100)])
    return store


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)


def round_trips(paths, check):
    """Runs `check` on the store reopened from its log, then compacted, then reopened from the snapshot."""
    reopened = VectorStore.open(*paths)
    check(reopened)
    reopened.compact()
    assert os.path.getsize(paths[1]) == 0
    from_snapshot = VectorStore.open(*paths)
    check(from_snapshot)
    return from_snapshot


# Ids.

def test_ten_megabyte_id(store, paths):
    big_id = "k" * (10 * MIB - 1) + "\u00e9"  # the last character is two bytes in UTF-8
    store.upsert(VectorEntry(big_id, [1.0, 2.0], "m"))
    assert store.get(big_id).id == big_id
    assert store.get(big_id[:-1]) is None
    assert repr(store.get(big_id)) == 'VectorEntry(id="' + big_id + '", dim=2)'

    def check(reopened):
        assert reopened.len == 1 and reopened.get(big_id).metadata == "m"
        assert reopened.search([1.0, 2.0], top_k=1)[0][0].id == big_id

    round_trips(paths, check).delete(big_id)


# Every code point the writer escapes or must pass through: the C0 controls,
# quote, backslash, slash, DEL, the separators, a byte order mark, the edges
# of the planes, and text that differs only after a NUL.
AWKWARD_IDS = (
    [chr(c) for c in range(0x20)]
    + ['"', "\\", "/", "\x7f", "\u0085", "\u2028", "\u2029", "\ufeff", "\ud7ff", "\ue000", "\uffff",
       "\U00010000", "\U0001f600", "\U0010ffff", "", " ", "a\x00", "a\x00b", "a\x00c", "\x00a", "\\u0000",
       'say "hi"\r\n', "e\u0301", "\u00e9"]
)


def test_ids_with_nul_and_every_escape(store, paths):
    assert len(set(AWKWARD_IDS)) == len(AWKWARD_IDS)
    store.upsert_batch([VectorEntry(entry_id, [float(i + 1), 1.0], entry_id) for i, entry_id in enumerate(AWKWARD_IDS)])

    def check(reopened):
        assert reopened.len == len(AWKWARD_IDS)
        for i, entry_id in enumerate(AWKWARD_IDS):
            got = reopened.get(entry_id)
            assert (got.id, got.metadata, got.embedding) == (entry_id, entry_id, [float(i + 1), 1.0])
        assert reopened.get("a") is None and reopened.get("\x00") is not None

    check(store)
    round_trips(paths, check)


def test_hand_written_escapes_decode(paths):
    write(paths[1],
          '{"op":"upsert","data":{"id":"a\\u0000\\ud834\\udd1e\\/\\b\\f\\n\\r\\t\\u00E9\\u00e9",'
          '"embedding":[1],"metadata":"\\"\\\\","created_at":""}}\n')
    got = VectorStore.open(*paths).get("a\x00\U0001d11e/\b\f\n\r\t\u00e9\u00e9")
    assert got.metadata == '"\\'


@pytest.mark.parametrize(
    "escape, message",
    [
        ("\\udc00", "lone leading surrogate in hex escape at line 1 column 35"),
        ("\\ud800x", "unexpected end of hex escape at line 1 column 36"),
        ("\\ud800\\u0041", "lone leading surrogate in hex escape at line 1 column 41"),
        ("\\x", "invalid escape at line 1 column 31"),
        ("\\u12", "invalid escape at line 1 column 34"),
        ("\\uZZZZ", "invalid escape at line 1 column 32"),
        ("\x01", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 30"),
    ],
)
def test_bad_escapes_in_a_log_line(paths, escape, message):
    write(paths[1], '{"op":"delete","data":{"id":"' + escape + '"}}\n')
    with pytest.raises(ValueError) as info:
        VectorStore.open(*paths)
    assert str(info.value) == message


# Embeddings.

@pytest.mark.parametrize("kind", ["list", "numpy"])
def test_million_float_embedding(store, paths, kind):
    values = np.random.default_rng(4).normal(size=10**6).astype(np.float32)
    values[:3] = [0.0, -0.0, 1e-45]  # zeros of both signs, the smallest subnormal
    store.upsert(VectorEntry("big", values.tolist() if kind == "list" else values))
    assert store.dim == 10**6

    def check(reopened):
        got = np.asarray(reopened.get("big").embedding, dtype=np.float32)
        assert got.tobytes() == values.tobytes()

    check(store)
    with pytest.raises(ValueError, match=r"^Dimension mismatch: store is 1000000D, got 1000001D$"):
        store.search(np.zeros(10**6 + 1, dtype=np.float32))
    with pytest.raises(ValueError, match=r"^Dimension mismatch: store is 1000000D, got 999999D$"):
        store.upsert_batch([VectorEntry("ok", values), VectorEntry("short", values[1:])])
    (hit, distance), = store.search(values, top_k=5)
    assert hit.id == "big" and 0.0 <= distance < 1e-6
    round_trips(paths, check)


class LyingLength:
    """A sequence whose __len__ claims far more items than its iteration yields."""

    def __init__(self, claimed, items):
        self.claimed, self.items = claimed, items

    def __len__(self):
        return self.claimed

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("claimed", [2**31, 2**40, 2**61, sys.maxsize])
def test_reported_length_is_only_a_hint(store, claimed):
    entry = VectorEntry("a", LyingLength(claimed, [1.0, 2.0]))
    assert entry.embedding == [1.0, 2.0]
    store.upsert_batch(LyingLength(claimed, [entry, VectorEntry("b", [3.0, 4.0])]))
    assert store.len == 2
    assert [e.id for e, _ in store.search(LyingLength(claimed, [1.0, 2.0]), top_k=1)] == ["a"]


class Reenters:
    """Garbage whose finalizer calls back into a store, as collection in the middle of a call may run it."""

    def __init__(self, call, outcomes):
        self.call, self.outcomes = call, outcomes
        self.cycle = self

    def __del__(self):
        try:
            self.call()
            self.outcomes.append("ran")
        except RuntimeError as exc:
            self.outcomes.append(str(exc))


@pytest.mark.parametrize("during", ["search", "upsert_batch"])
def test_finalizers_reentering_mid_call_are_refused(filled_store, during):
    """With collection at every allocation, finalizers run while a call converts its arguments or builds its result."""
    store = filled_store
    outcomes = []
    query = [1.0, 1.0]
    batch = [VectorEntry(f"n{i}", [1.0, float(i)]) for i in range(50)]
    calls = {
        "search": lambda: store.search(query, top_k=50),
        "upsert_batch": lambda: store.upsert_batch(tuple(batch)),
    }
    thresholds = gc.get_threshold()
    gc.collect()
    try:
        gc.set_threshold(1)
        for _ in range(30):
            Reenters(lambda: store.upsert(VectorEntry("late", [2.0, 2.0])), outcomes)
            Reenters(lambda: store.len, outcomes)
            result = calls[during]()
    finally:
        gc.set_threshold(*thresholds)
        gc.collect()
    assert set(outcomes) <= {"ran", "Already borrowed", "Already mutably borrowed"}
    if sys.version_info < (3, 12):
        # Before 3.12 the collector runs at allocation, so finalizers do run in
        # the middle of the call; later versions defer it to the eval loop.
        assert "Already mutably borrowed" in outcomes
    if during == "search":
        assert len(result) == 50 and [d for _, d in result] == sorted(d for _, d in result)
    assert store.get("late") is None or store.get("late").embedding == [2.0, 2.0]
    assert store.len == 100 + (50 if during == "upsert_batch" else 0) + (store.get("late") is not None)


# No back door makes an object whose C++ value was never built.

BACK_DOORS = [
    (lambda s, e: object.__new__(VectorStore), TypeError),
    (lambda s, e: object.__new__(VectorEntry), TypeError),
    (lambda s, e: VectorEntry.__new__(int), TypeError),
    (lambda s, e: copy.copy(s), TypeError),
    (lambda s, e: pickle.dumps(s), TypeError),
    (lambda s, e: pickle.loads(pickle.dumps(e)).__class__.__reduce__(s), TypeError),
    (lambda s, e: VectorStore.upsert(e, e), TypeError),
    (lambda s, e: VectorStore.len.__get__(e), TypeError),
    (lambda s, e: VectorEntry.id.__set__(s, "x"), TypeError),
    (lambda s, e: VectorEntry.__repr__(s), TypeError),
]


@pytest.mark.parametrize("call, exception", BACK_DOORS)
def test_no_half_built_objects(store, call, exception):
    entry = VectorEntry("a", [1.0])
    with pytest.raises(exception):
        call(store, entry)
    assert (store.len, entry.id, entry.embedding) == (0, "a", [1.0])


# top_k.

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "top_k, expected",
    [
        (2**64 - 1, 100),
        (np.uint64(2**64 - 1), 100),
        (Index(2**64 - 1), 100),
        (True, 1),
        (0, 0),
        (2**64, OverflowError),
        (Index(2**64), OverflowError),
        (-1, OverflowError),
        (-(2**64), OverflowError),
        (Index(-1), OverflowError),
        (1e20, TypeError),
    ],
)
def test_top_k_extremes(paths, top_k, expected):
    store = VectorStore.new(*paths)
    store.upsert_batch([VectorEntry(str(i), [float(i), 1.0]) for i in range(150)])
    if isinstance(expected, int):
        assert len(store.search([1.0, 1.0], top_k=top_k)) == expected
        return
    with pytest.raises(expected) as info:
        store.search([1.0, 1.0], top_k=top_k)
    assert type(info.value) is expected
    if expected is TypeError:
        assert str(info.value).startswith("argument 'top_k': ")


# Deep nesting. The value of an unknown member is checked for syntax only,
# without recursion, so no depth can exhaust the stack; nesting where a
# record's field is expected is refused at its first bracket.

DEPTH = 100_000
RECORD = '{"op":"upsert","data":{"id":"a","embedding":[1.0],"metadata":"","created_at":""%s}}'
ARRAYS = "[" * DEPTH + "]" * DEPTH
OBJECTS = '{"k":' * DEPTH + "1" + "}" * DEPTH
# Where the record's closing brace meets DEPTH unclosed brackets.
UNCLOSED_COLUMN = len(RECORD.split("%s")[0] + ',"x":' + "[" * DEPTH) + 1


@pytest.mark.parametrize(
    "log, outcome",
    [
        (RECORD % (',"x":' + ARRAYS) + "\n", (1, 1)),
        (RECORD % (',"x":' + OBJECTS) + "\n", (1, 1)),
        ('{"x":' + ARRAYS + ',"op":"delete","data":{"id":"a"}}\n', (0, 1)),
        (RECORD % (',"x":' + ARRAYS), (1, 1)),  # a last line without line feed
        (RECORD % (',"x":' + "[" * DEPTH) + "\n", f"expected value at line 1 column {UNCLOSED_COLUMN}"),
        # Not a record cut short (text follows the unclosed brackets): corruption, not a torn tail.
        (RECORD % (',"x":' + "[" * DEPTH), f"expected value at line 1 column {UNCLOSED_COLUMN}"),
        ('{"op":"upsert","data":{"id":"a","embedding":' + ARRAYS + ',"metadata":"","created_at":""}}\n',
         "invalid type: sequence, expected f32 at line 1 column 45"),
        ('{"op":"upsert","data":{"id":"a","embedding":[1.0],"metadata":' + ARRAYS + ',"created_at":""}}\n',
         "invalid type: sequence, expected a string at line 1 column 61"),
        ('{"op":"delete","data":' + ARRAYS + "}\n",
         "invalid type: sequence, expected struct variant WalRecord::Delete at line 1 column 23"),
        (ARRAYS + "\n", "invalid type: sequence, expected variant identifier at line 1 column 1"),
    ],
)
def test_deep_nesting_in_a_log_line(paths, log, outcome):
    write(paths[1], log)
    if isinstance(outcome, str):
        with pytest.raises(ValueError) as info:
            VectorStore.open(*paths)
        assert str(info.value) == outcome
        return
    store = VectorStore.open(*paths)
    assert (store.len, store.wal_pending) == outcome


@pytest.mark.parametrize(
    "snapshot, outcome",
    [
        ('{"dim":1,"entries":[],"x":' + ARRAYS + "}", 0),
        ('{"x":' + OBJECTS + ',"dim":1,"entries":[{"id":"a","embedding":[1],"metadata":"","created_at":""}]}', 1),
        ('{"dim":1,"entries":' + ARRAYS + "}", "invalid type: sequence, expected a string at line 1 column 21"),
        (ARRAYS, "invalid type: sequence, expected usize at line 1 column 1"),
        ("[" * DEPTH, "invalid type: sequence, expected usize at line 1 column 1"),
    ],
)
def test_deep_nesting_in_a_snapshot(paths, snapshot, outcome):
    write(paths[0], snapshot)
    if isinstance(outcome, str):
        with pytest.raises(ValueError) as info:
            VectorStore.open(*paths)
        assert str(info.value) == outcome
        return
    assert VectorStore.open(*paths).len == outcome


# Numbers and whitespace at scale.

@pytest.mark.parametrize(
    "number, outcome",
    [
        ("0." + "0" * 1_000_000 + "1", 0.0),
        ("1" * 1_000_000 + "e-999990", 1111111168.0),
        ("1e-99999999999999999999", 0.0),
        ("1" * 1_000_000, "number out of range at line 1 column 1000045"),
        ("1e99999999999999999999", "number out of range at line 1 column 67"),
    ],
)
def test_numbers_of_a_million_digits(paths, number, outcome):
    write(paths[1], RECORD.replace("[1.0]", "[" + number + "]") % "" + "\n")
    if isinstance(outcome, str):
        with pytest.raises(ValueError) as info:
            VectorStore.open(*paths)
        assert str(info.value) == outcome
        return
    assert VectorStore.open(*paths).get("a").embedding == [outcome]


def test_a_million_blank_lines_and_ten_megabytes_of_spaces(paths):
    write(paths[1], " " * (10 * MIB) + "\n" * 1_000_000 + "\t\r\n" + RECORD % "" + "\n" + " " * MIB)
    store = VectorStore.open(*paths)
    assert (store.len, store.wal_pending) == (1, 1)


# Text at scale.

def test_hundred_megabyte_metadata(store, paths):
    chunk = "x" * (MIB - 16) + 'q"\\\n\t\x00\u00e9\u2028'  # one MiB of UTF-8 with something to escape
    metadata = chunk * 100
    store.upsert(VectorEntry("m", [1.0], metadata, "t"))

    def check(reopened):
        got = reopened.get("m")
        assert got.created_at == "t" and got.metadata == metadata

    round_trips(paths, check)


# Paths.

def test_overlong_path_is_an_os_error(tmp_path):
    long_path = str(tmp_path / ("x" * 5000))
    for make in (VectorStore.new, VectorStore.open):  # only a missing file may count as missing
        with pytest.raises(OSError, match=r"^File name too long \(os error 36\)$"):
            make(long_path, long_path + ".wal")
    assert os.listdir(tmp_path) == []


def test_path_with_nul_names_no_other_file(tmp_path):
    prefix_snapshot, prefix_log = tmp_path / "s", tmp_path / "w"
    prefix_log.write_text('{"op":"upsert","data":{"id":"x","embedding":[1],"metadata":"","created_at":""}}\n')
    for make in (VectorStore.new, VectorStore.open):  # the part before the NUL is not this store's file
        with pytest.raises(OSError, match=r"^Invalid argument \(os error 22\)$"):
            make(str(prefix_snapshot) + "\x00snap", str(prefix_log) + "\x00wal")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["w"]
    assert prefix_log.read_text().count("\n") == 1


# Sequences whose length fails, and buffers of every shape.

class LengthFails:
    """A sequence whose __len__ raises; its iteration works."""

    def __init__(self, exc, items):
        self.exc, self.items = exc, items

    def __len__(self):
        raise self.exc

    def __getitem__(self, index):
        return self.items[index]


class OwnError(Exception):
    pass


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), MemoryError(), ValueError("v"), OwnError("o"), TypeError("t")],
                         ids=lambda exc: type(exc).__name__)
@pytest.mark.parametrize("argument", ["embedding", "query", "entries"])
def test_length_failure_propagates_unless_type_error(filled_store, exc, argument):
    """A TypeError from __len__ says the object has no usable length: it is iterated as it is. Any other propagates."""
    entry = VectorEntry("new", [5.0, 1.0])
    calls = {
        "embedding": lambda: VectorEntry("e", LengthFails(exc, [1.0, 2.0])).embedding,
        "query": lambda: filled_store.search(LengthFails(exc, [5.0, 1.0]), top_k=1)[0][0].id,
        "entries": lambda: filled_store.upsert_batch(LengthFails(exc, [entry])) or filled_store.get("new").id,
    }
    if isinstance(exc, TypeError):
        assert calls[argument]() == {"embedding": [1.0, 2.0], "query": "5", "entries": "new"}[argument]
        return
    with pytest.raises(type(exc)) as info:
        calls[argument]()
    assert info.value is exc
    assert filled_store.len == 100


# From Python 3.12 on, a memoryview gives the items of a buffer of half floats ("e").
HALF_FLOAT_ITEMS = sys.version_info >= (3, 12)


def _matrix(dtype="f8"):
    return np.arange(6, dtype=dtype).reshape(2, 3)


@pytest.mark.parametrize(
    "make",
    [
        lambda: memoryview(_matrix()),
        lambda: memoryview(_matrix()[:, ::2]),  # not contiguous
        lambda: memoryview(_matrix("f4").T),  # Fortran order
        lambda: memoryview(np.zeros((2, 2, 2))),
        lambda: memoryview(np.zeros((0, 3))),
        lambda: memoryview(array.array("d", [1.0, 2.0])).cast("B").cast("d", [1, 2]),
        lambda: memoryview(np.zeros(2, dtype=">f4")),  # a format Python cannot unpack
        lambda: memoryview(np.zeros(2, dtype="i4,i4")),
        pytest.param(lambda: memoryview(np.zeros(2, dtype=np.float16)),  # refused at the first item
                     marks=pytest.mark.skipif(HALF_FLOAT_ITEMS, reason="memoryview reads half floats")),
    ],
    ids=["2d", "2d_strided", "2d_fortran", "3d", "2d_empty", "2d_cast", "big_endian", "struct", "half"],
)
def test_buffers_without_usable_items_are_type_errors(store, make):
    """As for a list of lists: the embedding's items are not numbers, nor the batch's entries."""
    store.upsert(VectorEntry("a", [1.0, 2.0]))
    expected = {
        "embedding": "argument 'embedding': must be real number, not memoryview",
        "query": "argument 'query': must be real number, not memoryview",
        "entries": "argument 'entries': 'memoryview' object is not an instance of 'VectorEntry'",
    }
    calls = {
        "embedding": lambda: VectorEntry("b", make()),
        "query": lambda: store.search(make()),
        "entries": lambda: store.upsert_batch(make()),
    }
    with pytest.raises(TypeError) as nested_list:
        VectorEntry("b", [[1.0, 2.0]])
    assert str(nested_list.value) == expected["embedding"].replace("memoryview", "list")
    for argument, call in calls.items():
        with pytest.raises(TypeError) as info:
            call()
        assert (type(info.value), str(info.value)) == (TypeError, expected[argument])
    assert store.len == 1


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: memoryview(array.array("d", [1.0, 2.0, 3.0, 4.0]))[::2], [1.0, 3.0]),
        (lambda: memoryview(np.arange(4, dtype=np.float32))[::-1], [3.0, 2.0, 1.0, 0.0]),
        (lambda: memoryview(array.array("i", [7, -1])), [7.0, -1.0]),
        (lambda: memoryview(b"\x01\x02"), [1.0, 2.0]),
        (lambda: memoryview(array.array("d", [1.0, 2.0])).cast("B").cast("d", [2]), [1.0, 2.0]),
        (lambda: _matrix("f4")[1], [3.0, 4.0, 5.0]),
        (lambda: _matrix("f4")[:, 0], [0.0, 3.0]),
        pytest.param(lambda: memoryview(np.array([1.5, -2.0], dtype=np.float16)), [1.5, -2.0],
                     marks=pytest.mark.skipif(not HALF_FLOAT_ITEMS, reason="memoryview cannot read half floats")),
    ],
    ids=["strided", "reversed", "int", "bytes", "cast", "numpy_row", "numpy_column", "half"],
)
def test_one_dimensional_buffers_still_convert(store, make, expected):
    assert VectorEntry("a", make()).embedding == expected
    store.upsert(VectorEntry("a", expected))
    assert store.search(make(), top_k=1)[0][0].id == "a"


def test_zero_dimensional_memoryview_is_a_type_error():
    view = memoryview(array.array("d", [1.0])).cast("B").cast("d", [])
    with pytest.raises(TypeError, match=r"^argument 'embedding': "):
        VectorEntry("a", view)
