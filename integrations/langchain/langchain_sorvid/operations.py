"""What runs on the owner thread: each function takes the VectorStore first, for OwnedStore.run and arun.

Each function is one call on the owner thread, so what it reads and writes is not interleaved with other callers.
"""

from __future__ import annotations

from collections.abc import Sequence

from langchain_sorvid.catalog import MetadataCatalog
from langchain_sorvid.filters import Predicate
from sorvid_vector_db import VectorEntry, VectorStore

Hit = tuple[VectorEntry, float]


def nearest(
    store: VectorStore, query: Sequence[float], k: int, predicate: Predicate | None, catalog: MetadataCatalog
) -> list[Hit]:
    """The k nearest entries (at most 100, as the store returns) whose metadata passes the predicate.

    A filtered search first collects the allowed ids from the catalog's metadata (a predicate call per document),
    then asks the index for the nearest of those only, so k come back whenever k match.
    """
    if k <= 0 or len(store) == 0:
        return []
    if predicate is None:
        return store.search(query, k)
    return store.search_filtered(query, catalog.allowed(store, predicate), k)


def get_many(store: VectorStore, ids: Sequence[str]) -> list[VectorEntry]:
    """The entries of those ids that exist, in the order asked."""
    return [entry for id in ids if (entry := store.get(id)) is not None]


def delete_many(store: VectorStore, ids: Sequence[str] | None, catalog: MetadataCatalog) -> None:
    """Deletes the given ids (missing ones are no error), or every entry when ids is None."""
    catalog.delete(store, store.ids() if ids is None else ids)
