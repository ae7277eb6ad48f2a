"""SorvidVectorStore: a LlamaIndex vector store kept in a sorvid_vector_db store (a snapshot and a log on disk).

Every call on the store runs on the one thread that owns it (sorvid_owner_thread.OwnedStore), so the vector store
may be used from any thread, and its async methods await that thread without blocking the event loop. The catalog
of node metadata (for filters and deletes by ref doc) is owner-thread state as well: it is read from the store at
the first call that needs it and updated by every later write.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import fsspec
from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.schema import BaseNode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.vector_stores.sorvid.catalog import Catalog
from llama_index.vector_stores.sorvid.codec import entry_to_node, node_to_entry
from sorvid_owner_thread import OwnedStore

from sorvid_vector_db import VectorEntry, VectorStore

# persist() folds the log into a new snapshot once the log holds at least this many records and at least a
# quarter as many as there are live entries: then reopening replays little and finds a saved graph. Below that
# it only syncs the log, which makes the writes as durable at a fraction of the cost.
_MIN_LOG_TO_COMPACT = 1000
_LOG_SHARE_TO_COMPACT = 4


class SorvidVectorStore(BasePydanticVectorStore):
    """LlamaIndex vector store on sorvid_vector_db: nodes (text, metadata, relationships) and their embeddings
    are kept in one embedded store, searched by cosine similarity.

    Similarities are 1 - d/2 for the store's cosine distance d, so 1 is the same direction and 0 the opposite.
    A query returns at most 100 nodes, the most one search of the store answers.

    Args:
        snapshot_path: the store's snapshot file; opened if it exists (with its log), else created.
        wal_path: the store's write-ahead log file.
        flat_metadata: refuse nodes whose metadata values are not all str, int, float or None. Nested
            metadata is stored as it is otherwise; filters compare top-level keys.

    Examples:
        >>> store = SorvidVectorStore("docs.snap", "docs.wal")
        >>> index = VectorStoreIndex.from_documents(
        ...     documents, storage_context=StorageContext.from_defaults(vector_store=store))
    """

    stores_text: bool = True
    flat_metadata: bool = False
    snapshot_path: str
    wal_path: str

    _owned: OwnedStore = PrivateAttr()
    # Read and written on the owner thread only; None until a call needs it.
    _catalog: Catalog | None = PrivateAttr(default=None)

    def __init__(
        self,
        snapshot_path: str = "store.snap",
        wal_path: str = "store.wal",
        *,
        flat_metadata: bool = False,
        **kwargs: Any,
    ) -> None:
        super().__init__(snapshot_path=snapshot_path, wal_path=wal_path, flat_metadata=flat_metadata, **kwargs)
        # The store is this object's alone: the catalog must see every write made to it.
        self._owned = OwnedStore.open(snapshot_path, wal_path)

    @classmethod
    def class_name(cls) -> str:
        return "SorvidVectorStore"

    @property
    def client(self) -> OwnedStore:
        """The OwnedStore that runs every call on the store's thread: `client.run(lambda s: s.compact())`.
        Write nodes through this class, not through the client: filters and deletes by ref doc would not see
        entries written directly until the store is reopened."""
        return self._owned

    def close(self) -> None:
        """Closes the store (later calls raise sorvid_owner_thread.StoreClosedError). Idempotent."""
        self._owned.close()

    def __enter__(self) -> SorvidVectorStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # Writes.

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> list[str]:
        """Stores the nodes (replacing those with the same ids); each needs an embedding."""
        encoded = [node_to_entry(node, self.flat_metadata) for node in nodes]
        return self._owned.run(self._add_on_owner, encoded)

    async def async_add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> list[str]:
        encoded = [node_to_entry(node, self.flat_metadata) for node in nodes]
        return await self._owned.arun(self._add_on_owner, encoded)

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Deletes every node whose ref doc is `ref_doc_id`."""
        self._owned.run(self._delete_ref_doc_on_owner, ref_doc_id)

    async def adelete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        await self._owned.arun(self._delete_ref_doc_on_owner, ref_doc_id)

    def delete_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None, **delete_kwargs: Any
    ) -> None:
        """Deletes the nodes with these ids that pass the filters; either left out means no restriction."""
        self._owned.run(self._delete_nodes_on_owner, node_ids, filters)

    async def adelete_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None, **delete_kwargs: Any
    ) -> None:
        await self._owned.arun(self._delete_nodes_on_owner, node_ids, filters)

    def clear(self) -> None:
        self._owned.run(self._delete_nodes_on_owner, None, None)

    async def aclear(self) -> None:
        await self._owned.arun(self._delete_nodes_on_owner, None, None)

    def persist(self, persist_path: str = "", fs: fsspec.AbstractFileSystem | None = None) -> None:
        """Makes every write durable. The nodes live in the store's own files, so `persist_path` is not used."""
        self._owned.run(_persist_on_owner)

    # Reads.

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """The `similarity_top_k` nodes nearest `query_embedding` among those allowed by `node_ids`, `doc_ids`
        (ref docs) and `filters`, nearest first."""
        return self._owned.run(self._query_on_owner, query)

    async def aquery(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        return await self._owned.arun(self._query_on_owner, query)

    def get_nodes(self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None) -> list[BaseNode]:
        """The stored nodes (with their embeddings) with these ids that pass the filters, in the order of
        `node_ids` or else of their ids; either left out means no restriction."""
        return self._owned.run(self._get_nodes_on_owner, node_ids, filters)

    async def aget_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None
    ) -> list[BaseNode]:
        return await self._owned.arun(self._get_nodes_on_owner, node_ids, filters)

    # What runs on the owner thread.

    def _catalog_of(self, store: VectorStore) -> Catalog:
        if self._catalog is None:
            self._catalog = Catalog.load(store)
        return self._catalog

    def _add_on_owner(self, store: VectorStore, encoded: list[tuple[VectorEntry, dict[str, Any]]]) -> list[str]:
        if encoded:
            store.upsert_batch([entry for entry, _ in encoded])
        if self._catalog is not None:
            for entry, metadata in encoded:
                self._catalog.put(entry.id, metadata)
        return [entry.id for entry, _ in encoded]

    def _delete_on_owner(self, store: VectorStore, node_ids: Sequence[str]) -> None:
        for node_id in node_ids:
            store.delete(node_id)
            if self._catalog is not None:
                self._catalog.remove(node_id)

    def _delete_ref_doc_on_owner(self, store: VectorStore, ref_doc_id: str) -> None:
        self._delete_on_owner(store, sorted(self._catalog_of(store).nodes_of_ref_docs([ref_doc_id])))

    def _selected_ids(
        self, store: VectorStore, node_ids: list[str] | None, filters: MetadataFilters | None
    ) -> list[str]:
        if filters is not None and filters.filters:
            return self._catalog_of(store).matching(filters, among=node_ids)
        return store.ids() if node_ids is None else node_ids

    def _delete_nodes_on_owner(
        self, store: VectorStore, node_ids: list[str] | None, filters: MetadataFilters | None
    ) -> None:
        self._delete_on_owner(store, self._selected_ids(store, node_ids, filters))

    def _get_nodes_on_owner(
        self, store: VectorStore, node_ids: list[str] | None, filters: MetadataFilters | None
    ) -> list[BaseNode]:
        entries = (store.get(node_id) for node_id in self._selected_ids(store, node_ids, filters))
        return [entry_to_node(entry, with_embedding=True) for entry in entries if entry is not None]

    def _allowed_ids(self, store: VectorStore, query: VectorStoreQuery) -> set[str] | None:
        """The ids a query may return, or None for all of them. An empty list of node ids or doc ids restricts
        nothing: VectorStoreIndex's retriever passes its (empty) list of node ids when the store keeps the text."""
        allowed = set(query.node_ids) if query.node_ids else None
        if query.doc_ids:
            of_docs = self._catalog_of(store).nodes_of_ref_docs(query.doc_ids)
            allowed = of_docs if allowed is None else allowed & of_docs
        if query.filters is not None and query.filters.filters:
            allowed = set(self._catalog_of(store).matching(query.filters, among=allowed))
        return allowed

    def _query_on_owner(self, store: VectorStore, query: VectorStoreQuery) -> VectorStoreQueryResult:
        if query.mode != VectorStoreQueryMode.DEFAULT:
            raise NotImplementedError(f"SorvidVectorStore answers only the default query mode, not {query.mode!r}")
        if query.query_embedding is None:
            raise ValueError("SorvidVectorStore needs a query embedding")
        allowed = self._allowed_ids(store, query)
        top_k = query.similarity_top_k
        if allowed is None:
            hits = store.search(query.query_embedding, top_k)
        else:
            hits = store.search_filtered(query.query_embedding, allowed, top_k)
        return VectorStoreQueryResult(
            nodes=[entry_to_node(entry, with_embedding=False) for entry, _ in hits],
            similarities=[1.0 - distance / 2.0 for _, distance in hits],
            ids=[entry.id for entry, _ in hits],
        )


def _persist_on_owner(store: VectorStore) -> None:
    pending = store.wal_pending
    if pending >= _MIN_LOG_TO_COMPACT and pending * _LOG_SHARE_TO_COMPACT >= len(store):
        store.compact()
    else:
        store.sync()
