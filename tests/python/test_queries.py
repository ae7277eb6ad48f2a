"""Batched and filtered search, the id listing, sync and pickled entries, as a caller sees them.

The engine's own tests check the answers against exact references; these check
what the module adds: the argument forms, the result shapes and the errors.
"""
import copy
import pickle
import struct

import numpy as np
import pytest

from sorvid_vector_db import VectorEntry, VectorStore

DIM = 8


def pairs(hits):
    return [(entry.id, distance) for entry, distance in hits]


@pytest.fixture
def filled(paths):
    """300 entries, with changes the index has not taken in yet."""
    rng = np.random.default_rng(3)
    store = VectorStore.new(*paths)
    rows = rng.standard_normal((300, DIM), dtype=np.float32)
    store.upsert_batch([VectorEntry(f"e{i}", row) for i, row in enumerate(rows)])
    store.search(rows[0], 1)
    store.delete("e5")
    store.upsert(VectorEntry("e6", rng.standard_normal(DIM)))
    return store


QUERIES = np.random.default_rng(4).standard_normal((25, DIM)).astype(np.float32)


@pytest.mark.parametrize("given", [
    QUERIES,
    QUERIES.astype(np.float64),
    np.asfortranarray(QUERIES),  # not C-contiguous: read row by row
    QUERIES.tolist(),
    tuple(tuple(row) for row in QUERIES.tolist()),
], ids=["float32", "float64", "fortran-order", "lists", "tuples"])
def test_search_batch_answers_each_query_as_search_does(filled, given):
    lists = filled.search_batch(given, top_k=7)
    assert [pairs(hits) for hits in lists] == [pairs(filled.search(query, 7)) for query in QUERIES]


@pytest.mark.parametrize("bad_row", [[1.0] * (DIM - 1), [float("nan")] * DIM, []], ids=["short", "nan", "empty"])
def test_search_batch_refuses_a_batch_with_a_query_that_search_refuses(filled, bad_row):
    with pytest.raises(ValueError) as by_search:
        filled.search(bad_row)
    with pytest.raises(ValueError) as by_batch:
        filled.search_batch([[1.0] * DIM, bad_row])
    assert str(by_batch.value) == str(by_search.value)


@pytest.mark.parametrize("queries", ["abc", [[1.0] * DIM, "abc"]])
def test_search_batch_wants_rows_of_numbers(filled, queries):
    with pytest.raises(TypeError, match="^argument 'queries': Can't extract `str` to `Vec`$"):
        filled.search_batch(queries)


@pytest.mark.parametrize("given", [[], np.zeros((0, DIM), dtype=np.float32)], ids=["list", "array"])
def test_an_empty_batch_has_no_answers(filled, given):
    assert filled.search_batch(given) == []


def test_search_filtered_ranks_only_the_allowed_entries(filled):
    query = QUERIES[0]
    nearest = pairs(filled.search(query, 100))
    allowed = [entry_id for entry_id, _ in nearest]
    # Among exactly search's hits, the filtered answer is search's answer.
    assert pairs(filled.search_filtered(query, allowed, top_k=100)) == nearest
    every_third = allowed[::3]
    expected = [pair for pair in nearest if pair[0] in set(every_third)][:10]
    for given in (every_third, set(every_third), iter(every_third), tuple(every_third) * 2):
        assert pairs(filled.search_filtered(query, given)) == expected


@pytest.mark.parametrize("allowed, top_k, count", [
    ([], 10, 0),
    (["e5", "nobody"], 10, 0),  # e5 was deleted
    (["e1", "e2", "e5", "e6"], 10, 3),
    ([f"e{i}" for i in range(300)], 150, 100),
    ([f"e{i}" for i in range(300)], 0, 0),
])
def test_search_filtered_returns_every_allowed_live_entry_up_to_the_limits(filled, allowed, top_k, count):
    hits = filled.search_filtered(QUERIES[1], allowed, top_k)
    assert len(hits) == count
    assert {entry.id for entry, _ in hits} <= set(allowed) - {"e5"}


@pytest.mark.parametrize("allowed, text", [
    ("e1", "argument 'allowed': Can't extract `str` to `Vec`"),
    (7, "argument 'allowed': 'int' object is not iterable"),
    (["e1", b"e2"], "argument 'allowed': 'bytes' object is not an instance of 'str'"),
])
def test_search_filtered_wants_an_iterable_of_str(filled, allowed, text):
    with pytest.raises(TypeError) as raised:
        filled.search_filtered(QUERIES[0], allowed)
    assert str(raised.value) == text


def test_ids_are_the_live_ids_in_byte_order_across_a_reopen(paths):
    store = VectorStore.new(*paths)
    names = ["b", "a", "\u00e9", "\uffff", "\U0001f600", "Z", "a\x00", "gone"]
    store.upsert_batch([VectorEntry(name, [1.0, 0.5]) for name in names])
    store.delete("gone")
    expected = sorted(set(names) - {"gone"}, key=lambda name: name.encode())
    assert store.ids() == expected
    assert VectorStore.new("x.snap", "x.wal").ids() == []
    del store
    assert VectorStore.open(*paths).ids() == expected


def test_sync_writes_nothing_new_and_keeps_every_write(paths, tmp_path):
    store = VectorStore.new(*paths)
    store.sync()
    assert list(tmp_path.iterdir()) == []
    store.upsert(VectorEntry("a", [1.0, 2.0]))
    log = pathlib_bytes(paths[1])
    assert store.sync() is None
    assert pathlib_bytes(paths[1]) == log
    assert VectorStore.open(*paths).get("a").embedding == [1.0, 2.0]


def pathlib_bytes(path):
    with open(path, "rb") as file:
        return file.read()


ODD_FLOATS = struct.unpack("6f", struct.pack("6I", 0x00000001, 0x80000000, 0x7F7FFFFF, 0x00800000, 0x3DCCCCCD, 0xFF800000))


def float_bits(values):
    return struct.pack(f"{len(values)}f", *values)


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_entries_pickle_bit_for_bit(protocol):
    entry = VectorEntry("\u00e9t\u00e9 \U0001f600", ODD_FLOATS, '{"k": "\u2028"}', "2026-12-08")
    for copied in (pickle.loads(pickle.dumps(entry, protocol)), copy.deepcopy(entry)):
        assert type(copied) is VectorEntry and copied is not entry
        assert (copied.id, copied.metadata, copied.created_at) == (entry.id, entry.metadata, entry.created_at)
        assert float_bits(copied.embedding) == float_bits(entry.embedding)
