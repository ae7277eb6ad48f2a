"""The parsed metadata of every document, kept beside a store so that filters need not read every entry per query.

A catalog belongs to one OwnedStore and is only touched on its owner thread (inside OwnedStore.run/arun), so it
needs no lock. It is built on first need from ids() and get(), and kept current by the writes made through this
package. Writes made otherwise (straight through OwnedStore.run) are noticed by the store's (len, wal_pending)
no longer being what the catalog last saw, and the catalog is then built again; only such a write that leaves both
numbers as they were (a replacement followed by a compaction) goes unseen until the next rebuild.
"""

from __future__ import annotations

import weakref
from collections.abc import Sequence
from typing import Any

from sorvid_owner_thread import OwnedStore

from langchain_sorvid.filters import Predicate
from langchain_sorvid.records import document_metadata
from sorvid_vector_db import VectorEntry, VectorStore

_catalogs: weakref.WeakKeyDictionary[OwnedStore, MetadataCatalog] = weakref.WeakKeyDictionary()


def catalog_of(store: OwnedStore) -> MetadataCatalog:
    """The one catalog of this store, shared by every vector store object on it."""
    catalog = _catalogs.get(store)
    if catalog is None:
        catalog = _catalogs.setdefault(store, MetadataCatalog())
    return catalog


def _state(store: VectorStore) -> tuple[int, int]:
    return len(store), store.wal_pending


class MetadataCatalog:
    def __init__(self) -> None:
        self._metadata: dict[str, dict[str, Any]] | None = None
        self._seen: tuple[int, int] | None = None  # the store's (len, wal_pending) the catalog matches

    def allowed(self, store: VectorStore, predicate: Predicate) -> list[str]:
        """The ids of the documents whose metadata passes the predicate."""
        metadata = self._current(store)
        return [id for id, fields in metadata.items() if predicate(fields)]

    def upsert(self, store: VectorStore, entries: Sequence[VectorEntry]) -> None:
        """Upserts the entries into the store, and their metadata into the catalog."""
        in_step = self._metadata is not None and self._seen == _state(store)
        store.upsert_batch(entries)
        if in_step and self._metadata is not None:
            for entry in entries:
                self._metadata[entry.id] = document_metadata(entry)
            self._seen = _state(store)

    def delete(self, store: VectorStore, ids: Sequence[str]) -> None:
        """Deletes the ids from the store (absent ones are no error), and from the catalog."""
        in_step = self._metadata is not None and self._seen == _state(store)
        for id in ids:
            store.delete(id)
        if in_step and self._metadata is not None:
            for id in ids:
                self._metadata.pop(id, None)
            self._seen = _state(store)

    def _current(self, store: VectorStore) -> dict[str, dict[str, Any]]:
        if self._metadata is None or self._seen != _state(store):
            # Reads every entry once: the embeddings are copied only to be dropped, a cost paid per rebuild.
            entries = (store.get(id) for id in store.ids())
            self._metadata = {entry.id: document_metadata(entry) for entry in entries if entry is not None}
            self._seen = _state(store)
        return self._metadata
