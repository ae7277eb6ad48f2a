"""Memory and reference counts: every method and every error path, repeated, leaves nothing behind.

Each case is one call (or a short sequence of calls) that is run a few hundred times to warm up and then a few
thousand times under measurement. Four counters must not grow:

- Python memory, as tracemalloc traces it (objects and buffers the module makes through the Python allocator);
- the number of objects the garbage collector tracks (lists, tuples, exceptions, entries...);
- the reference counts of the objects every call shares (the argument objects, the types, None...);
- C++ memory, as the C allocator counts it (mallinfo2, or AddressSanitizer's own count under ASan).

Payloads are large (kilobyte ids, texts and embeddings) so that one leaked copy per call adds up to megabytes,
far above the slack that the allocators' own bookkeeping needs. SORVID_LEAK_SCALE multiplies the repeat
counts (`make soak`).

Not measured: a store dropped on a thread other than its owner keeps its engine state on purpose (it may be
released only on the owner thread), which `test_store_basics.py` covers.
"""
import ctypes
import gc
import math
import os
import sys
import threading
import tracemalloc

import pytest

from sorvid_vector_db import VectorEntry, VectorStore

SCALE = int(os.environ.get("SORVID_LEAK_SCALE", "1"))
REPEAT = 2000 * SCALE
WARMUP = 200
DIM = 256
KIB = 1024


# Measuring.

def _native_counter():
    """A function giving the bytes the C allocator has handed out and not taken back, or None."""
    process = ctypes.CDLL(None)
    asan = getattr(process, "__sanitizer_get_current_allocated_bytes", None)
    if asan is not None:  # under AddressSanitizer its allocator replaces malloc
        asan.restype = ctypes.c_size_t
        return asan
    mallinfo2 = getattr(process, "mallinfo2", None)
    if mallinfo2 is None:
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
            "keepcost")]

    mallinfo2.restype = MallInfo2
    return lambda: mallinfo2().uordblks + mallinfo2().hblkhd


NATIVE_BYTES = _native_counter()


@pytest.fixture(scope="module", autouse=True)
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


class Counters:
    def __init__(self, shared):
        gc.collect()
        self.python = tracemalloc.get_traced_memory()[0]
        self.objects = len(gc.get_objects())
        self.refs = [sys.getrefcount(o) for o in shared]
        self.native = NATIVE_BYTES() if NATIVE_BYTES else 0


def assert_no_growth(call, shared=(), repeat=REPEAT):
    """Runs `call` repeatedly and checks that none of the four counters grows with the repeat count."""
    for _ in range(min(WARMUP, max(50, repeat // 5))):
        call()
    before = Counters(shared)
    for _ in range(repeat):
        call()
    after = Counters(shared)
    # Slack for allocator bookkeeping and caches; any leak of a payload-sized
    # copy per call is far beyond it.
    failures = []
    if after.python - before.python >= 64 * KIB + 8 * repeat:
        failures.append(f"Python memory grew by {after.python - before.python} bytes")
    if after.objects - before.objects >= 50:
        failures.append(f"tracked objects grew by {after.objects - before.objects}")
    grown = [(repr(o)[:40], a - b) for o, b, a in zip(shared, before.refs, after.refs, strict=False) if a - b > 10]
    if grown:
        failures.append(f"reference counts grew: {grown}")
    if after.native - before.native >= 256 * KIB + 16 * repeat:
        failures.append(f"C++ memory grew by {after.native - before.native} bytes")
    assert not failures, "; ".join(failures)


def raises(exception, message=None):
    """A call wrapper that expects `exception` (and its text), so error paths can be repeated."""

    def wrap(call):
        def run(*args):
            try:
                call(*args)
            except exception as caught:
                assert message is None or str(caught) == message, str(caught)
                return
            raise AssertionError(f"{exception.__name__} not raised")

        return run

    return wrap


# Shared, large arguments.

BIG_ID = "i" * KIB
BIG_TEXT = "t\u00e9" * (KIB // 2)
EMBEDDING = [float(i % 7) - 3.0 for i in range(DIM)]
QUERY = [1.0] * DIM
TOP_K = 7
HUGE_TOP_K = 2**64 - 1
ENTRY = VectorEntry(BIG_ID, EMBEDDING, BIG_TEXT, BIG_TEXT)
SHARED = (BIG_ID, BIG_TEXT, EMBEDDING, QUERY, ENTRY, EMBEDDING[1], TOP_K, HUGE_TOP_K, None, True, VectorEntry,
          VectorStore, TypeError, ValueError)


def _read_results_after(store, hits, change, *args):
    change(*args)
    return [(entry.embedding, entry.metadata) for entry, _ in hits]


def _read_results_of_a_dropped_store(paths):
    store = VectorStore.new(*paths)
    store.upsert(ENTRY)
    hits = store.search(QUERY)
    del store
    return [(entry.embedding, entry.metadata) for entry, _ in hits]


@pytest.fixture
def filled(paths):
    store = VectorStore.new(*paths)
    store.upsert_batch([VectorEntry(f"{BIG_ID}{i}", [float(i), *EMBEDDING[1:]], BIG_TEXT) for i in range(20)])
    store.upsert(ENTRY)
    store.search(QUERY)  # builds the index
    return store


# Entries: every member, every conversion and binding error.

ENTRY_CASES = {
    "construct": lambda: VectorEntry(BIG_ID, EMBEDDING, BIG_TEXT, created_at=BIG_TEXT),
    "construct_from_tuple": lambda: VectorEntry(id=BIG_ID, embedding=tuple(EMBEDDING)),
    "read_properties": lambda: (ENTRY.id, ENTRY.embedding, ENTRY.metadata, ENTRY.created_at),
    "repr_and_len": lambda: (repr(ENTRY), len(ENTRY)),
    "too_many_arguments": raises(TypeError)(lambda: VectorEntry(BIG_ID, EMBEDDING, "", "", "x")),
    "missing_arguments": raises(TypeError)(lambda: VectorEntry()),
    "unexpected_keyword": raises(TypeError)(lambda: VectorEntry(BIG_ID, EMBEDDING, bogus=1)),
    "multiple_values": raises(TypeError)(lambda: VectorEntry(BIG_ID, EMBEDDING, id=BIG_ID)),
    "id_not_text": raises(TypeError, "argument 'id': 'int' object is not an instance of 'str'")(
        lambda: VectorEntry(5, EMBEDDING)),
    "id_none": raises(TypeError)(lambda: VectorEntry(None, EMBEDDING)),
    "lone_surrogate": raises(UnicodeEncodeError)(lambda: VectorEntry("\ud800" + BIG_ID, EMBEDDING)),
    "embedding_str": raises(TypeError, "argument 'embedding': Can't extract `str` to `Vec`")(
        lambda: VectorEntry(BIG_ID, BIG_TEXT)),
    "embedding_not_sequence": raises(TypeError)(lambda: VectorEntry(BIG_ID, {1: 2})),
    "item_not_a_number": raises(TypeError)(lambda: VectorEntry(BIG_ID, EMBEDDING + ["x"])),
    "delete_property": raises(AttributeError, "property has no deleter")(lambda: delattr(ENTRY, "metadata")),
}


class Explosive:
    """An item whose conversion to float raises the exception it was given."""

    def __init__(self, make):
        self.make = make

    def __float__(self):
        raise self.make()


def _chained_type_error():
    error = TypeError("inner " + BIG_TEXT)
    error.__cause__ = KeyError(BIG_ID)
    return error


ENTRY_CASES.update({
    "prefixed_type_error_with_cause": raises(TypeError)(
        lambda: VectorEntry(BIG_ID, [*EMBEDDING[:3], Explosive(_chained_type_error)])),
    "unprefixed_value_error": raises(ValueError)(lambda: VectorEntry(BIG_ID, [Explosive(lambda: ValueError(BIG_ID))])),
    "failing_iteration": raises(LookupError)(lambda: VectorEntry(BIG_ID, FailingSequence())),
})


class FailingSequence:
    def __len__(self):
        return DIM

    def __getitem__(self, index):
        if index < 10:
            return float(index)
        raise LookupError(BIG_ID)


@pytest.mark.parametrize("case", ENTRY_CASES, ids=str)
def test_entry_calls_do_not_leak(case):
    assert_no_growth(ENTRY_CASES[case], SHARED)


@pytest.mark.parametrize("field, value", [("id", BIG_ID), ("embedding", EMBEDDING), ("metadata", BIG_TEXT),
                                          ("created_at", BIG_TEXT)])
def test_property_writes_do_not_leak(field, value):
    entry = VectorEntry("a", [1.0])
    assert_no_growth(lambda: setattr(entry, field, value), SHARED)
    assert_no_growth(raises(TypeError)(lambda: setattr(entry, field, 12345)), SHARED)


# Stores: every method, every error the engine or the binding layer raises.

STORE_CASES = {
    "get_present": lambda s, p: s.get(BIG_ID).embedding,
    "get_absent": lambda s, p: s.get(BIG_ID + "?"),
    "counters_and_slots": lambda s, p: (s.len, s.dim, s.wal_pending, len(s), bool(s), repr(s)),
    "search": lambda s, p: s.search(QUERY, top_k=TOP_K),
    "search_top_k_above_hits": lambda s, p: s.search(QUERY, HUGE_TOP_K),
    # Results that read the store's records in place, taken back by a change and by the store's end.
    "results_through_a_change": lambda s, p: _read_results_after(s, s.search(QUERY, top_k=TOP_K), s.upsert, ENTRY),
    "results_outliving_their_store": lambda s, p: _read_results_of_a_dropped_store(p),
    "upsert_replace": lambda s, p: s.upsert(ENTRY),
    "upsert_batch": lambda s, p: s.upsert_batch([ENTRY, ENTRY]),
    "upsert_and_delete": lambda s, p: (s.upsert(ENTRY), s.delete(BIG_ID)),
    "delete_absent": lambda s, p: s.delete(BIG_ID + "?"),
    "new": lambda s, p: VectorStore.new(*p),
    # Engine errors.
    "empty_embedding": raises(ValueError, "Embedding must not be empty")(
        lambda s, p: s.upsert(VectorEntry(BIG_ID, []))),
    "dimension_mismatch": raises(ValueError, f"Dimension mismatch: store is {DIM}D, got 3D")(
        lambda s, p: s.upsert_batch([ENTRY, VectorEntry(BIG_ID, [1.0, 2.0, 3.0])])),
    "non_finite": raises(ValueError, "Embedding must contain only finite values")(
        lambda s, p: s.upsert(VectorEntry(BIG_ID, [math.nan] * DIM))),
    "search_empty_query": raises(ValueError)(lambda s, p: s.search([])),
    "search_wrong_length": raises(ValueError)(lambda s, p: s.search(QUERY[1:])),
    # Binding and conversion errors, with and without prefixing.
    "missing_argument": raises(TypeError)(lambda s, p: s.upsert()),
    "too_many_arguments": raises(TypeError)(lambda s, p: s.get(BIG_ID, BIG_ID)),
    "unexpected_keyword": raises(TypeError)(lambda s, p: s.delete(key=BIG_ID)),
    "multiple_values": raises(TypeError)(lambda s, p: s.search(QUERY, query=QUERY)),
    "entry_not_an_entry": raises(TypeError)(lambda s, p: s.upsert({"id": BIG_ID})),
    "batch_bad_item_late": raises(TypeError)(lambda s, p: s.upsert_batch([ENTRY] * 50 + [BIG_TEXT])),
    "batch_str": raises(TypeError)(lambda s, p: s.upsert_batch(BIG_TEXT)),
    "id_not_text": raises(TypeError)(lambda s, p: s.get(12345)),
    "query_item_not_a_number": raises(TypeError)(lambda s, p: s.search(QUERY[:-1] + [None])),
    "top_k_negative": raises(OverflowError)(lambda s, p: s.search(QUERY, top_k=-1)),
    "top_k_too_big": raises(OverflowError)(lambda s, p: s.search(QUERY, top_k=2**64)),
    "top_k_float": raises(TypeError)(lambda s, p: s.search(QUERY, top_k=1.5)),
    "path_not_text": raises(TypeError)(lambda s, p: VectorStore.open(None)),
}


@pytest.mark.parametrize("case", STORE_CASES, ids=str)
def test_store_calls_do_not_leak(filled, paths, case):
    assert_no_growth(lambda: STORE_CASES[case](filled, paths), SHARED)


def test_open_and_compact_do_not_leak(filled, paths):
    filled.compact()
    filled.upsert_batch([ENTRY] * 5)  # a snapshot and a log to replay
    assert_no_growth(lambda: VectorStore.open(*paths).len, SHARED, repeat=REPEAT // 10)

    def upsert_and_compact():
        filled.upsert(ENTRY)
        filled.compact()

    assert_no_growth(upsert_and_compact, SHARED, repeat=REPEAT // 10)


def test_failed_opens_do_not_leak(tmp_path):
    snapshot, log = tmp_path / "s.snap", tmp_path / "s.wal"
    snapshot.write_text('{"dim":3,"entries":[' + ",".join(
        f'{{"id":"{i}","embedding":[1,2,3],"metadata":"{BIG_ID}","created_at":""}}' for i in range(20)) + "]}")
    log.write_text('{"op":"upsert","data":{"id":"x","embedding":[1,2,3,4],"metadata":"","created_at":""}}\n')
    assert_no_growth(raises(ValueError, "Dimension mismatch: store is 3D, got 4D")(
        lambda: VectorStore.open(str(snapshot), str(log))), SHARED, repeat=REPEAT // 10)
    log.write_bytes(b'{"op":"delete","data":{"id":"\xff"}}\n')
    assert_no_growth(raises(OSError, "stream did not contain valid UTF-8")(
        lambda: VectorStore.open(str(snapshot), str(log))), SHARED, repeat=REPEAT // 10)
    snapshot.write_text('{"dim":3,"entries":[{"id":' + '"' + BIG_ID)
    assert_no_growth(raises(ValueError)(lambda: VectorStore.open(str(snapshot), str(log))), SHARED)


def test_io_errors_do_not_leak(tmp_path):
    store = VectorStore.new(str(tmp_path / "missing" / "s.snap"), str(tmp_path))  # the log is a directory
    assert_no_growth(raises(OSError, "Is a directory (os error 21)")(lambda: store.upsert(ENTRY)), SHARED)
    assert_no_growth(raises(OSError)(lambda: store.upsert_batch([ENTRY] * 10)), SHARED)
    full = VectorStore.new(str(tmp_path / "s.snap"), "/dev/full")
    assert_no_growth(raises(OSError, "not a regular file: /dev/full")(
        lambda: full.upsert_batch([ENTRY] * 40)), SHARED)


def test_failed_compaction_does_not_leak(tmp_path):
    store = VectorStore.new(str(tmp_path / "missing" / "s.snap"), str(tmp_path / "s.wal"))
    store.upsert(ENTRY)
    assert_no_growth(raises(OSError)(store.compact), SHARED, repeat=REPEAT // 10)


# Access errors: Python code run in the middle of a call re-enters the store.

class Reentrant(list):
    """A list whose iteration first runs `during` (which calls back into the store)."""

    def __init__(self, items, during):
        super().__init__(items)
        self.during = during

    def __iter__(self):
        self.during()
        return super().__iter__()


def test_access_errors_do_not_leak(filled):
    read_during_search = Reentrant(QUERY, raises(RuntimeError, "Already mutably borrowed")(lambda: filled.len))
    write_during_batch = Reentrant([ENTRY], raises(RuntimeError, "Already borrowed")(lambda: filled.upsert(ENTRY)))
    outer_fails = Reentrant(QUERY, lambda: filled.delete(BIG_ID))
    assert_no_growth(lambda: filled.search(read_during_search, top_k=3), SHARED)
    assert_no_growth(lambda: filled.upsert_batch(write_during_batch), SHARED)
    assert_no_growth(raises(RuntimeError, "Already borrowed")(lambda: filled.search(outer_fails)), SHARED)


# Owner-thread panics: every call from a foreign thread raises PanicException.

FOREIGN_CALLS = [
    lambda s: s.len, lambda s: repr(s), lambda s: bool(s), lambda s: s.get(BIG_ID),
    lambda s: s.upsert(ENTRY), lambda s: s.search(QUERY), lambda s: s.compact(),
]


def test_owner_thread_panics_do_not_leak(filled, capfd):
    def from_another_thread():
        def run():
            for call in FOREIGN_CALLS:
                try:
                    call(filled)
                except BaseException as exc:  # noqa: B036 - PanicException is a BaseException
                    assert type(exc).__name__ == "PanicException"
                else:
                    raise AssertionError("no PanicException")

        thread = threading.Thread(target=lambda: [run() for _ in range(20)])
        thread.start()
        thread.join()

    assert_no_growth(from_another_thread, SHARED, repeat=REPEAT // 20)
    assert "sent to another thread" in capfd.readouterr().err
    assert (filled.len, filled.get(BIG_ID) is not None) == (21, True)  # nothing happened


def test_counters_see_a_leak():
    """The measurement itself: a call that keeps what it makes fails the counters it touches."""
    kept = []
    with pytest.raises(AssertionError, match="Python memory grew"):
        assert_no_growth(lambda: kept.append(str(len(kept)) * 100), repeat=1000)
    kept.clear()
    with pytest.raises(AssertionError, match="tracked objects grew"):
        assert_no_growth(lambda: kept.append([]), repeat=1000)
    kept.clear()
    with pytest.raises(AssertionError, match="reference counts grew"):
        assert_no_growth(lambda: kept.append(ENTRY), SHARED, repeat=1000)
    kept.clear()
    if NATIVE_BYTES is None:
        pytest.skip("no C allocator counter on this platform")
    with pytest.raises(AssertionError, match="C\\+\\+ memory grew"):
        # An entry's values live in C++ memory; only its object header is Python's.
        assert_no_growth(lambda: kept.append(VectorEntry("x", EMBEDDING * 4, BIG_TEXT)), repeat=1000)
    kept.clear()
