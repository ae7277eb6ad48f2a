"""Search through the Python API: query checks, lazy rebuild, result shape and exact distances."""
import gc
import pickle
import random
import sys
import threading

import numpy as np
import pytest
from test_model import reference_distance

from sorvid_vector_db import VectorEntry, VectorStore


def filled(paths, count, dim=8, seed=3):
    rng = random.Random(seed)
    store = VectorStore.new(*paths)
    store.upsert_batch([VectorEntry(f"id-{i}", [rng.gauss(0, 1) for _ in range(dim)]) for i in range(count)])
    return store


def test_empty_query_is_refused_even_on_an_empty_store(store):
    with pytest.raises(ValueError, match="^Embedding must not be empty$"):
        store.search([])


def test_query_length_must_match_the_store(store):
    store.upsert(VectorEntry("a", [1.0, 2.0, 3.0]))
    store.delete("a")
    with pytest.raises(ValueError, match=r"^Dimension mismatch: store is 3D, got 2D$"):
        store.search([1.0, 2.0])


@pytest.mark.parametrize("query", [[1.0], [1.0, 2.0, 3.0, 4.0, 5.0]])
def test_store_without_dim_answers_empty(store, query):
    assert store.search(query) == []
    assert store.dim is None


def test_top_k_bounds(paths):
    store = filled(paths, 150)
    assert store.search([1.0] * 8, top_k=0) == []
    assert len(store.search([1.0] * 8, top_k=1000)) == 100
    assert len(store.search([1.0] * 8)) == 10
    assert len(store.search([1.0] * 8, top_k=2**64 - 1)) == 100


def test_fewer_entries_than_top_k(paths):
    store = filled(paths, 5)
    assert len(store.search([1.0] * 8, top_k=10)) == 5


@pytest.mark.parametrize(
    "top_k, exc, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.5, TypeError, "argument 'top_k': 'float' object cannot be interpreted as an integer"),
        ("3", TypeError, "argument 'top_k': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_top_k_conversion_errors(paths, top_k, exc, message):
    store = filled(paths, 3)
    with pytest.raises(exc) as info:
        store.search([1.0] * 8, top_k=top_k)
    assert type(info.value) is exc
    if message:
        assert str(info.value) == message


def test_results_are_copies_with_exact_distances(paths):
    store = filled(paths, 300)
    query = [0.5, -1.0, 0.25, 2.0, 0.0, 1.0, -0.5, 3.0]
    hits = store.search(query, top_k=20)
    assert isinstance(hits, list) and len(hits) == 20
    distances = [d for _, d in hits]
    assert distances == sorted(distances)
    for entry, distance in hits:
        assert isinstance(entry, VectorEntry) and type(distance) is float
        assert distance == reference_distance(query, store.get(entry.id).embedding)
        entry.embedding = [0.0] * 8
    assert store.search(query, top_k=20)[0][0].embedding != [0.0] * 8


def _drop_on_another_thread(stores):
    """Drops the store on a thread that does not own it, which keeps its engine state (and reports so)."""
    hook = sys.unraisablehook
    sys.unraisablehook = lambda info: None
    try:
        thread = threading.Thread(target=stores.clear)
        thread.start()
        thread.join()
        gc.collect()
    finally:
        sys.unraisablehook = hook


RECORD_CHANGES = {
    "upsert": lambda stores: [stores[0].upsert(VectorEntry(f"id-{i}", [9.0] * 8, "new", "now")) for i in range(300)],
    "upsert_batch": lambda stores: stores[0].upsert_batch([VectorEntry(f"id-{i}", [9.0] * 8) for i in range(300)]),
    "delete": lambda stores: [stores[0].delete(f"id-{i}") for i in range(300)],
    "compact": lambda stores: stores[0].compact(),
    "store_dropped": lambda stores: (stores.clear(), gc.collect()),
    "store_dropped_on_another_thread": _drop_on_another_thread,
}


# Results read the store's records in place until the store changes them or goes: each kind of change must
# leave every result, from every kind of search, exactly as it was.
@pytest.mark.parametrize("change", RECORD_CHANGES)
def test_results_keep_their_records_through_changes(paths, change):
    stores = [filled(paths, 300)]
    store = stores[0]
    query = [0.5] * 8
    hits = (store.search(query, top_k=20) + store.search_batch([query, query], top_k=5)[1]
            + store.search_filtered(query, ["id-3", "id-7"]))
    del store

    def seen():
        return [(e.id, e.embedding, e.metadata, e.created_at, repr(e), len(e), pickle.loads(pickle.dumps(e)).embedding,
                 d) for e, d in hits]

    before = seen()
    RECORD_CHANGES[change](stores)
    assert seen() == before
    entry = hits[0][0]
    entry.metadata = "changed"  # a result changed after its store did is its own
    assert (entry.metadata, entry.embedding) == ("changed", before[0][1])


def test_query_equal_to_a_stored_embedding_comes_first(paths):
    store = filled(paths, 200)
    target = store.get("id-42").embedding
    (entry, distance), *_ = store.search(target, top_k=3)
    assert entry.id == "id-42"
    assert 0.0 <= distance < 1e-6


@pytest.mark.parametrize("scale", [1e-30, 1e-41])
def test_tiny_vectors_find_their_own_direction(paths, scale):
    # Their squares underflow float32; the distance is computed on them scaled up.
    store = filled(paths, 50, dim=3)
    tiny = [1 * scale, 2 * scale, 3 * scale]
    store.upsert(VectorEntry("tiny", tiny))
    for query in (tiny, [1.0, 2.0, 3.0]):
        hits = store.search(query, top_k=5)
        assert hits[0][0].id == "tiny"
        assert hits[0][1] < 1e-6
        for entry, distance in hits:
            assert distance == reference_distance(query, store.get(entry.id).embedding)


def test_zero_vectors_are_at_distance_two(paths):
    store = filled(paths, 20)
    assert {d for _, d in store.search([0.0] * 8, top_k=100)} == {2.0}
    store.upsert(VectorEntry("zero", [0.0] * 8))
    hits = dict((e.id, d) for e, d in store.search([1.0] * 8, top_k=100))
    assert hits["zero"] == 2.0


def test_search_is_repeatable_and_sees_changes(paths):
    store = filled(paths, 120)
    query = [1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0]
    first = [(e.id, d) for e, d in store.search(query, top_k=50)]
    second = [(e.id, d) for e, d in store.search(query, top_k=50)]
    assert first == second
    store.upsert(VectorEntry("new", query))
    assert store.search(query, top_k=1)[0][0].id == "new"
    store.delete("new")
    assert all(e.id != "new" for e, _ in store.search(query, top_k=100))


def test_distances_never_decrease_and_stay_in_range(paths):
    store = filled(paths, 500, dim=16, seed=9)
    rng = random.Random(1)
    for _ in range(20):
        distances = [d for _, d in store.search([rng.gauss(0, 1) for _ in range(16)], top_k=100)]
        assert distances == sorted(distances)
        assert all(0.0 <= d <= 2.0 for d in distances)


def test_recall_against_brute_force(paths):
    rng = np.random.default_rng(5)
    data = rng.normal(size=(2000, 24)).astype(np.float32)
    store = VectorStore.new(*paths)
    store.upsert_batch([VectorEntry(str(i), row) for i, row in enumerate(data)])
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    found = 0
    queries = rng.normal(size=(50, 24)).astype(np.float32)
    for q in queries:
        truth = set(np.argsort(-(unit @ (q / np.linalg.norm(q))))[:10].tolist())
        got = {int(e.id) for e, _ in store.search(q, top_k=10)}
        found += len(truth & got)
    assert found / (10 * len(queries)) >= 0.95


def test_reentrant_read_during_search_is_refused(paths):
    store = filled(paths, 10)

    class Sneaky(list):
        def __iter__(self):
            store.len  # noqa: B018 - the read itself is the point
            return super().__iter__()

    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        store.search(Sneaky([1.0] * 8))
    assert len(store.search([1.0] * 8)) == 10  # access was released


def test_search_accepts_numpy_queries(paths):
    store = filled(paths, 50)
    query = np.arange(8, dtype=np.float32)
    assert [(e.id, d) for e, d in store.search(query)] == [(e.id, d) for e, d in store.search(query.tolist())]
