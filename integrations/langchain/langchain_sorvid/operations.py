"""What runs on the owner thread: each function takes the VectorStore first, for OwnedStore.run and arun.

Each function is one call on the owner thread, so what it reads and writes is not interleaved with other callers.
"""

from __future__ import annotations

from collections.abc import Sequence

from langchain_sorvid.filters import Predicate
from langchain_sorvid.records import document_metadata
from sorvid_vector_db import VectorEntry, VectorStore

Hit = tuple[VectorEntry, float]


def nearest(store: VectorStore, query: Sequence[float], k: int, predicate: Predicate | None) -> list[Hit]:
    """The k nearest entries (at most 100, as the store returns) whose metadata passes the predicate.

    A filtered search first collects the allowed ids from every entry, then asks the index for the nearest of those
    only, so k come back whenever k match. Collecting reads each entry and parses its JSON: O(n) per query,
    well worth it below some hundred thousand entries; larger stores want an index on metadata instead.
    """
    if k <= 0 or len(store) == 0:
        return []
    if predicate is None:
        return store.search(query, k)
    return store.search_filtered(query, allowed_ids(store, predicate), k)


def allowed_ids(store: VectorStore, predicate: Predicate) -> list[str]:
    allowed = []
    for id in store.ids():
        entry = store.get(id)
        if entry is not None and predicate(document_metadata(entry)):
            allowed.append(id)
    return allowed


def get_many(store: VectorStore, ids: Sequence[str]) -> list[VectorEntry]:
    """The entries of those ids that exist, in the order asked."""
    return [entry for id in ids if (entry := store.get(id)) is not None]


def delete_many(store: VectorStore, ids: Sequence[str] | None) -> None:
    """Deletes the given ids (missing ones are no error), or every entry when ids is None."""
    for id in store.ids() if ids is None else ids:
        store.delete(id)
