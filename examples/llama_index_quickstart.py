"""LlamaIndex over sorvid_vector_db, offline: index documents, retrieve with metadata filters, reopen, delete.

MockEmbedding gives every text the same vector, so this shows the plumbing (what is stored, filtered, kept across
a reopen and deleted), not the ranking; put a real embedding model in its place for meaningful neighbours.

Run: python examples/llama_index_quickstart.py [directory]   (a temporary directory by default)
"""

import sys
import tempfile
from pathlib import Path

from llama_index.core import Document, MockEmbedding, StorageContext, VectorStoreIndex
from llama_index.core.vector_stores.types import FilterOperator, MetadataFilter, MetadataFilters
from llama_index.vector_stores.sorvid import SorvidVectorStore

EMBED = MockEmbedding(embed_dim=16)
DOCUMENTS = [
    Document(id_="apples", text="Apples grow on trees in orchards.", metadata={"topic": "fruit", "year": 2024}),
    Document(id_="rust", text="Rust is a systems programming language.", metadata={"topic": "code", "year": 2015}),
    Document(id_="pears", text="Pears ripen after they are picked.", metadata={"topic": "fruit", "year": 2026}),
]


def show(title: str, index: VectorStoreIndex, filters: MetadataFilters | None = None) -> None:
    print(title)
    for hit in index.as_retriever(similarity_top_k=5, filters=filters).retrieve("Tell me about fruit"):
        print(f"  {hit.score:.3f}  {hit.node.ref_doc_id:<7} {hit.node.get_content()}")


def main(directory: Path) -> None:
    snapshot, log = str(directory / "docs.snap"), str(directory / "docs.wal")

    with SorvidVectorStore(snapshot, log) as vector_store:
        storage = StorageContext.from_defaults(vector_store=vector_store)
        index = VectorStoreIndex.from_documents(DOCUMENTS, storage_context=storage, embed_model=EMBED)
        show("all documents:", index)
        recent_fruit = MetadataFilters(
            filters=[
                MetadataFilter(key="topic", value="fruit"),
                MetadataFilter(key="year", value=2025, operator=FilterOperator.GT),
            ]
        )
        show("fruit after 2025:", index, recent_fruit)
        vector_store.persist("")  # makes every write durable (the store keeps its own files)

    # A later run: the index comes back from the store's files alone.
    with SorvidVectorStore(snapshot, log) as vector_store:
        index = VectorStoreIndex.from_vector_store(vector_store, embed_model=EMBED)
        index.delete_ref_doc("rust")
        show("after reopening and deleting 'rust':", index)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(Path(sys.argv[1]))
    else:
        with tempfile.TemporaryDirectory() as scratch:
            main(Path(scratch))
