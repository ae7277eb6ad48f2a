"""SorvidVectorStore: a LangChain VectorStore kept in a sorvid_vector_db store on disk."""

from __future__ import annotations

import asyncio
import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Self

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance
from sorvid_owner_thread import OwnedStore

from langchain_sorvid import operations
from langchain_sorvid.catalog import catalog_of
from langchain_sorvid.filters import MetadataFilter, compile_filter
from langchain_sorvid.records import to_document, to_entry
from sorvid_vector_db import VectorEntry


class SorvidVectorStore(VectorStore):
    """Documents with their embeddings in a sorvid_vector_db store: a snapshot file and a write-ahead log.

    Every call on the store runs on the one thread that owns it (see sorvid_owner_thread), so the vector store can be
    used from any thread and, through the `a`-methods, from asyncio without blocking the loop.

    Scores: `similarity_search_with_score` gives the cosine distance d in [0, 2] (lower is nearer); relevance scores
    are 1 - d/2 in [0, 1]. Searches return at most 100 documents. `filter=` takes `{"key": value, "key2": {"$in":
    [v1, v2]}}` (all must hold) or a callable given the metadata dict; filtered searches return k documents whenever
    at least k match.

    Example:
        ```python
        from langchain_core.embeddings import DeterministicFakeEmbedding
        from langchain_sorvid import SorvidVectorStore

        store = SorvidVectorStore(DeterministicFakeEmbedding(size=64), "docs.snap", "docs.wal")
        store.add_texts(["a cat", "a dog"], metadatas=[{"kind": "cat"}, {"kind": "dog"}])
        store.similarity_search("pet", k=1, filter={"kind": "dog"})
        ```
    """

    def __init__(
        self,
        embedding: Embeddings,
        snapshot_path: str | None = None,
        wal_path: str | None = None,
        *,
        store: OwnedStore | None = None,
    ) -> None:
        """Open (or create) the store at snapshot_path and wal_path, or use an OwnedStore the caller keeps."""
        if (store is None) == (snapshot_path is None or wal_path is None):
            raise ValueError("give either snapshot_path and wal_path, or store")
        self._embedding = embedding
        self._owns_store = store is None
        self._store = store if store is not None else OwnedStore.open(str(snapshot_path), str(wal_path))
        self._catalog = catalog_of(self._store)

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def store(self) -> OwnedStore:
        """The underlying store, for calls of its own: `vs.store.run(lambda s: s.compact())`."""
        return self._store

    def close(self) -> None:
        """Closes the store if this object opened it (idempotent)."""
        if self._owns_store:
            self._store.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        # Clamped: rounding can put a distance a hair outside [0, 2].
        return lambda distance: min(1.0, max(0.0, 1.0 - distance / 2.0))

    # Adding and removing

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds and upserts the texts; a document whose id is given replaces the one stored under it.

        Entries of ids may be None (add_documents passes each document's id): those get a new uuid4.
        """
        texts = list(texts)
        vectors = self._embedding.embed_documents(texts)
        entries, new_ids = _entries(texts, vectors, metadatas, ids)
        self._store.run(self._catalog.upsert, entries)
        return new_ids

    async def aadd_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        texts = list(texts)
        vectors = await self._embedding.aembed_documents(texts)
        entries, new_ids = _entries(texts, vectors, metadatas, ids)
        await self._store.arun(self._catalog.upsert, entries)
        return new_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Deletes the documents with these ids (missing ones are ignored); ids=None deletes every document."""
        self._store.run(operations.delete_many, ids, self._catalog)
        return True

    async def adelete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        await self._store.arun(operations.delete_many, ids, self._catalog)
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        return [to_document(e) for e in self._store.run(operations.get_many, list(ids))]

    async def aget_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        return [to_document(e) for e in await self._store.arun(operations.get_many, list(ids))]

    # Searching

    def similarity_search(
        self, query: str, k: int = 4, filter: MetadataFilter | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter=filter)]

    async def asimilarity_search(
        self, query: str, k: int = 4, filter: MetadataFilter | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in await self.asimilarity_search_with_score(query, k, filter=filter)]

    def similarity_search_with_score(
        self, query: str, k: int = 4, filter: MetadataFilter | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """Documents nearest the query with their cosine distance (lower is nearer)."""
        return self._with_scores(self._embedding.embed_query(query), k, filter)

    async def asimilarity_search_with_score(
        self, query: str, k: int = 4, filter: MetadataFilter | None = None, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        return await self._awith_scores(await self._embedding.aembed_query(query), k, filter)

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, filter: MetadataFilter | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in self._with_scores(embedding, k, filter)]

    async def asimilarity_search_by_vector(
        self, embedding: list[float], k: int = 4, filter: MetadataFilter | None = None, **kwargs: Any
    ) -> list[Document]:
        return [doc for doc, _ in await self._awith_scores(embedding, k, filter)]

    def _with_scores(self, vector: list[float], k: int, filter: MetadataFilter | None) -> list[tuple[Document, float]]:
        predicate = None if filter is None else compile_filter(filter)
        return [
            (to_document(e), d) for e, d in self._store.run(operations.nearest, vector, k, predicate, self._catalog)
        ]

    async def _awith_scores(
        self, vector: list[float], k: int, filter: MetadataFilter | None
    ) -> list[tuple[Document, float]]:
        predicate = None if filter is None else compile_filter(filter)
        return [
            (to_document(e), d)
            for e, d in await self._store.arun(operations.nearest, vector, k, predicate, self._catalog)
        ]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: MetadataFilter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        """k documents picked from the fetch_k nearest for relevance to the query and difference from each other."""
        vector = self._embedding.embed_query(query)
        return self.max_marginal_relevance_search_by_vector(vector, k, fetch_k, lambda_mult, filter=filter)

    async def amax_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: MetadataFilter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        vector = await self._embedding.aembed_query(query)
        return await self.amax_marginal_relevance_search_by_vector(vector, k, fetch_k, lambda_mult, filter=filter)

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: MetadataFilter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        predicate = None if filter is None else compile_filter(filter)
        hits = self._store.run(operations.nearest, embedding, max(fetch_k, k), predicate, self._catalog)
        return _pick_marginal(embedding, hits, k, lambda_mult)

    async def amax_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: MetadataFilter | None = None,
        **kwargs: Any,
    ) -> list[Document]:
        predicate = None if filter is None else compile_filter(filter)
        hits = await self._store.arun(operations.nearest, embedding, max(fetch_k, k), predicate, self._catalog)
        return _pick_marginal(embedding, hits, k, lambda_mult)

    # Making one

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        snapshot_path: str | None = None,
        wal_path: str | None = None,
        store: OwnedStore | None = None,
        **kwargs: Any,
    ) -> Self:
        """A vector store at snapshot_path and wal_path (or in store) holding these texts."""
        vector_store = cls(embedding, snapshot_path, wal_path, store=store)
        vector_store.add_texts(texts, metadatas, ids=ids)
        return vector_store

    @classmethod
    async def afrom_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        snapshot_path: str | None = None,
        wal_path: str | None = None,
        store: OwnedStore | None = None,
        **kwargs: Any,
    ) -> Self:
        # Opening loads the snapshot and replays the log: off the event loop.
        vector_store = await asyncio.to_thread(cls, embedding, snapshot_path, wal_path, store=store)
        await vector_store.aadd_texts(texts, metadatas, ids=ids)
        return vector_store


def _entries(
    texts: list[str],
    vectors: list[list[float]],
    metadatas: list[dict[str, Any]] | None,
    ids: Sequence[str | None] | None,
) -> tuple[list[VectorEntry], list[str]]:
    """The entries to upsert and their ids: those given, a new uuid4 where an id is None or missing."""
    if metadatas is not None and len(metadatas) != len(texts):
        raise ValueError(f"{len(texts)} texts but {len(metadatas)} metadatas")
    if ids is not None and len(ids) != len(texts):
        raise ValueError(f"{len(texts)} texts but {len(ids)} ids")
    final_ids = [id or str(uuid.uuid4()) for id in (ids or [None] * len(texts))]
    metadata_list = metadatas or [{}] * len(texts)
    entries = [to_entry(*fields) for fields in zip(final_ids, vectors, texts, metadata_list, strict=True)]
    return entries, final_ids


def _pick_marginal(query: list[float], hits: list[operations.Hit], k: int, lambda_mult: float) -> list[Document]:
    if not hits:
        return []
    chosen = maximal_marginal_relevance(
        np.array(query, dtype=np.float32), [entry.embedding for entry, _ in hits], lambda_mult=lambda_mult, k=k
    )
    return [to_document(hits[i][0]) for i in chosen]
