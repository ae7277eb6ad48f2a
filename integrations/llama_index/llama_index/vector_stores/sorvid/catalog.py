"""What filters and deletes by ref doc need to know of every node, kept beside the store.

The store finds entries by id and by vector only, so answering "which nodes pass these filters" or "which nodes
came from this document" means reading every entry. The catalog reads them once (load) and is then kept equal to
the store by put and remove at each write. It holds each node's filterable metadata (the entry's metadata object
without the serialized node) and the node ids of each ref doc. It lives on the store's owner thread only, which
orders every read and write of it.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any

from llama_index.core.vector_stores.types import MetadataFilters
from llama_index.vector_stores.sorvid.codec import NO_REF_DOC, NODE_CONTENT_KEY, REF_DOC_KEY, decode_metadata
from llama_index.vector_stores.sorvid.filters import matches

from sorvid_vector_db import VectorStore


class Catalog:
    def __init__(self) -> None:
        self._metadata: dict[str, dict[str, Any]] = {}
        self._nodes_of_ref_doc: dict[str, set[str]] = {}

    @classmethod
    def load(cls, store: VectorStore) -> Catalog:
        """The catalog of every entry in `store`."""
        catalog = cls()
        for node_id in store.ids():
            entry = store.get(node_id)
            if entry is not None:
                catalog.put(node_id, decode_metadata(entry.metadata))
        return catalog

    def put(self, node_id: str, metadata: dict[str, Any]) -> None:
        """Records the node stored under `node_id` (replacing what was recorded for that id)."""
        self.remove(node_id)
        filterable = {key: value for key, value in metadata.items() if key != NODE_CONTENT_KEY}
        self._metadata[node_id] = filterable
        self._nodes_of_ref_doc.setdefault(str(filterable.get(REF_DOC_KEY, NO_REF_DOC)), set()).add(node_id)

    def remove(self, node_id: str) -> None:
        metadata = self._metadata.pop(node_id, None)
        if metadata is None:
            return
        ref_doc_id = str(metadata.get(REF_DOC_KEY, NO_REF_DOC))
        nodes = self._nodes_of_ref_doc[ref_doc_id]
        nodes.discard(node_id)
        if not nodes:
            del self._nodes_of_ref_doc[ref_doc_id]

    def nodes_of_ref_docs(self, ref_doc_ids: Iterable[str]) -> set[str]:
        return set().union(*(self._nodes_of_ref_doc.get(ref_doc_id, ()) for ref_doc_id in ref_doc_ids))

    def matching(self, filters: MetadataFilters, among: Iterable[str] | None = None) -> list[str]:
        """The ids (of all nodes, or of those in `among`, in its order) whose metadata passes `filters`."""
        candidates = self._metadata.keys() if among is None else among
        return [
            node_id
            for node_id in candidates
            if (metadata := self._metadata.get(node_id)) is not None and matches(filters, metadata)
        ]
