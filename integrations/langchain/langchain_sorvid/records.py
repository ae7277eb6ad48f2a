"""A Document kept in a VectorEntry: the id is the document's, the metadata string holds JSON of text and metadata."""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import Any

from langchain_core.documents import Document

from sorvid_vector_db import VectorEntry

PAGE_CONTENT = "page_content"
METADATA = "metadata"


def to_entry(id: str, embedding: Sequence[float], text: str, metadata: dict[str, Any] | None) -> VectorEntry:
    """Metadata values must be JSON values (json.dumps raises TypeError otherwise), and come back as JSON gives them."""
    record = json.dumps({PAGE_CONTENT: text, METADATA: metadata or {}}, ensure_ascii=False)
    return VectorEntry(id, embedding, record)


def _record(entry: VectorEntry) -> dict[str, Any]:
    # Entries written without this package may hold any text: it reads as the page content, without metadata.
    try:
        record = json.loads(entry.metadata)
    except ValueError:
        record = None
    if isinstance(record, dict) and isinstance(record.get(PAGE_CONTENT), str):
        return record
    return {PAGE_CONTENT: entry.metadata, METADATA: {}}


def document_metadata(entry: VectorEntry) -> dict[str, Any]:
    metadata = _record(entry).get(METADATA)
    return metadata if isinstance(metadata, dict) else {}


def to_document(entry: VectorEntry) -> Document:
    record = _record(entry)
    return Document(id=entry.id, page_content=record[PAGE_CONTENT], metadata=document_metadata(entry))
